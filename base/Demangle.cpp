#include "base/Demangle.h"

#include <cxxabi.h>

#include <cctype>
#include <cstdlib>
#include <vector>

std::string Demangle(const char* Mangled) {
  if (!Mangled) return {};
  int status = 0;
  char* text = abi::__cxa_demangle(Mangled, nullptr, nullptr, &status);
  std::string result = (status == 0 && text) ? std::string(text) : std::string(Mangled);
  std::free(text);
  return result;
}

std::string JoinPublicName(std::string_view Scope, std::string_view Name) {
  std::string result;
  result.reserve(Scope.size() + Name.size() + 1);
  if (!Scope.empty()) {
    result.append(Scope);
    result += '.';
  }
  result.append(Name);
  return result;
}

namespace {

bool Opens(char c) {
  return c == '(' || c == '<' || c == '[' || c == '{';
}
bool Closes(char c) {
  return c == ')' || c == '>' || c == ']' || c == '}';
}

// Where the "operator" keyword of an operator's name starts at nesting depth
// 0, or npos. Inside "operator<" and friends the brackets are no nesting.
std::size_t FindOperator(std::string_view s) {
  int depth = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (depth == 0 && s.compare(i, 8, "operator") == 0 &&
        (i == 0 || s[i - 1] == ':' || s[i - 1] == ' ' || s[i - 1] == '~')) {
      const std::size_t after = i + 8;
      if (after >= s.size()) return i;
      const char c = s[after];
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_') || c == ' ') return i;
    }
    if (Opens(s[i]))
      ++depth;
    else if (Closes(s[i]) && depth > 0)
      --depth;
  }
  return std::string_view::npos;
}

// Drops the trailing parameter list and qualifiers: "f(int) const" -> "f".
std::string_view StripParameters(std::string_view s, std::size_t operatorAt) {
  // Qualifiers after the parameter list.
  for (bool again = true; again;) {
    again = false;
    for (std::string_view q : {" const", " volatile", " &&", " &", " noexcept"}) {
      if (s.size() > q.size() && s.substr(s.size() - q.size()) == q) {
        s.remove_suffix(q.size());
        again = true;
      }
    }
  }
  if (s.empty() || s.back() != ')') return s;
  int depth = 0;
  for (std::size_t i = s.size(); i-- > 0;) {
    if (Closes(s[i]))
      ++depth;
    else if (Opens(s[i]) && --depth == 0) {
      if (s[i] != '(') return s;
      // "operator()" itself is a name, not the parameter list.
      if (operatorAt != std::string_view::npos && i < operatorAt) return s;
      return s.substr(0, i);
    }
  }
  return s;
}

}  // namespace

std::string PublicNameOf(std::string_view Demangled) {
  std::string_view s = Demangled;
  while (true) {
    const std::size_t clone = s.rfind(" [clone ");
    if (clone == std::string_view::npos || s.back() != ']') break;
    s = s.substr(0, clone);
  }
  s = StripParameters(s, FindOperator(s));
  const std::size_t operatorAt = FindOperator(s);

  // A return type in front (function templates): drop it, up to the last
  // blank at depth 0 before the name ("operator new" keeps its blank).
  const std::size_t limit = operatorAt == std::string_view::npos ? s.size() : operatorAt;
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < limit; ++i) {
    if (Opens(s[i]))
      ++depth;
    else if (Closes(s[i]) && depth > 0)
      --depth;
    else if (depth == 0 && s[i] == ' ')
      start = i + 1;
  }
  s = s.substr(start);

  // The scopes at depth 0; the operator's own text is never split.
  const std::size_t tail = FindOperator(s);
  std::size_t lastSep = std::string_view::npos;
  depth = 0;
  for (std::size_t i = 0; i + 1 < s.size() && i < tail; ++i) {
    if (Opens(s[i]))
      ++depth;
    else if (Closes(s[i]) && depth > 0)
      --depth;
    else if (depth == 0 && s[i] == ':' && s[i + 1] == ':')
      lastSep = i;
  }
  if (lastSep == std::string_view::npos) return std::string(s);
  return JoinPublicName(s.substr(0, lastSep), s.substr(lastSep + 2));
}
