#pragma once

// The head of a report on the wire, as VEK writes it and the report
// collector reads it: its first line, the limits of its fields and the
// characters of a token (the key and the executable's identity). Both sides
// take these from here, so they cannot drift apart.

#include <cstddef>
#include <string_view>

inline constexpr std::string_view WireFormatName = "VEK-Report";
inline constexpr int WireFormatVersion = 1;

inline constexpr std::size_t MaxWireProgramLength = 128;
inline constexpr std::size_t MaxWireVersionLength = 64;
inline constexpr std::size_t MaxWireTokenLength = 128;

// 1 to MaxWireTokenLength letters, digits and ". _ : -".
bool IsWireToken(std::string_view value);
