#pragma once
// File names around the map file: where it lies beside its executable.
#include <string>

// The executable's path with the extension ".map": an extension of the file
// name is replaced, otherwise ".map" is appended ("app/Brevant" ->
// "app/Brevant.map", "x.v2/tool.bin" -> "x.v2/tool.map").
std::string DefaultMapFileName(const std::string& Executable);

// True when both names lead to the same file (links followed), or to the same
// place when the second does not exist yet.
bool SameFile(const std::string& A, const std::string& B);
