#pragma once
// Readable names of C++ symbols and types, and the "Class.method" form in
// which the diagnostics library names a function: the enclosing scopes joined
// by "::", then "." before the function's own name, without parameter list
// or return type ("TfmMain.btnNextClick", "std::vector<int>.push_back").
//
// Pure text functions: no allocation beyond the returned strings, callable
// from any thread.
#include <string>
#include <string_view>

// The demangled text of a mangled symbol or type name ("_ZN7TfmMain12btnNextClickEv"
// gives "TfmMain::btnNextClick()"). A name that is not mangled, or that the
// demangler rejects, comes back unchanged.
std::string Demangle(const char* Mangled);

// The "Class.method" form of a demangled function name:
//   "TfmMain::btnNextClick()"                        -> "TfmMain.btnNextClick"
//   "void ns::TList<int>::Add<char>(char) const"      -> "ns::TList<int>.Add<char>"
//   "main"                                           -> "main"
// The last scope before the function's name is taken as its class: a free
// function inside a namespace reads "ns.f" here (the text alone cannot tell
// a namespace from a class; the map file generator, which knows, does better).
// Clone suffixes such as " [clone .cold]" are dropped.
std::string PublicNameOf(std::string_view Demangled);

// The "Class.method" form from its parts: Scope empty gives Name alone.
std::string JoinPublicName(std::string_view Scope, std::string_view Name);
