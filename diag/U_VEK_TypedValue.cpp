#include "diag/U_VEK_TypedValue.h"

#include <algorithm>
#include <cstdio>

#include "base/Utf8.h"
#include "runtime/LocaleText.h"

TShortString::TShortString(std::string_view Text) {
  FLength = static_cast<std::uint8_t>(std::min<std::size_t>(Text.size(), sizeof FChars));
  std::copy_n(Text.data(), FLength, FChars);
}

namespace {

constexpr const char* NullText = "NULL";

bool IsNone(const TClassRef& C) {
  return !C.Meta && !C.Type;
}

std::string Quoted(std::string_view S) {
  std::string result;
  result.reserve(S.size() + 2);
  result += '\'';
  for (const char c : S) {
    if (c == '\'') result += '\'';
    result += c;
  }
  result += '\'';
  return result;
}

std::string PointerText(const void* P) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(P)));
  return text;
}

}  // namespace

std::string VarRecToText(const TTypedValue& V) {
  const TTypedValue::TValue& value = V.Value();
  switch (V.Kind()) {
    case vkInteger:
      return std::to_string(std::get<vkInteger>(value));
    case vkBoolean:
      return std::get<vkBoolean>(value) ? "True" : "False";
    case vkChar:
      return Quoted(std::string_view(&std::get<vkChar>(value), 1));
    case vkFloat:
      return FloatText(std::get<vkFloat>(value));
    case vkShortString:
      return Quoted(std::get<vkShortString>(value).View());
    case vkPointer:
      return PointerText(std::get<vkPointer>(value));
    case vkCharPtr: {
      const char* s = std::get<vkCharPtr>(value);
      return s ? Quoted(s) : NullText;
    }
    case vkObject: {
      const QObject* obj = std::get<vkObject>(value);
      return obj ? TVEKObjectInfos::DescribeObject(obj) : NullText;
    }
    case vkClass: {
      const TClassRef& c = std::get<vkClass>(value);
      return IsNone(c) ? NullText : "CLASS of " + VEKClassName(c);
    }
    case vkWideChar:
      return Quoted(Utf8FromUtf16(std::u16string_view(&std::get<vkWideChar>(value), 1)));
    case vkWideCharPtr: {
      const char16_t* s = std::get<vkWideCharPtr>(value);
      return s ? Quoted(Utf8FromUtf16(s)) : NullText;
    }
    case vkString:
      return Quoted(std::get<vkString>(value));
    case vkCurrency:
      return FixedPointText(std::get<vkCurrency>(value).Scaled(), 4);
    case vkVariant:
      return "VARIANT";
    case vkInterface:
      return "INTERFACE";
    case vkWideString:
      return Quoted(Utf8FromUtf16(std::get<vkWideString>(value)));
    case vkInt64:
      return std::to_string(std::get<vkInt64>(value));
  }
  return {};
}
