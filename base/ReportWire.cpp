#include "base/ReportWire.h"

#include <algorithm>

bool IsWireToken(std::string_view value) {
  return !value.empty() && value.size() <= MaxWireTokenLength && std::all_of(value.begin(), value.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == ':' || c == '-';
  });
}
