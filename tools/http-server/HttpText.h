#pragma once
// Text helpers of the maker's HTTP servers: addresses, HTML escaping, log
// lines and percent-encoding.
#include <string>
#include <string_view>

namespace HttpText {
// "host:port" with IPv6 literals bracketed.
std::string HostPart(const std::string& address, int port);
// "http://host:port/" with IPv6 literals bracketed.
std::string MakeBaseUrl(const std::string& address, int port);
// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string HtmlEscape(std::string_view text);
// Bytes below 0x20, 0x7F and "\" written as \xNN, for one-line logs.
std::string EscapeForLog(std::string_view text);
// Percent-encodes everything but unreserved characters and "/".
std::string EncodePath(std::string_view path);
// Decodes %XX sequences (invalid ones stay as they are); "+" stays "+".
std::string DecodePercent(std::string_view text);
}  // namespace HttpText
