#pragma once
// Short fixed-size digests of texts (BLAKE2b from libsodium), written in
// lower-case hexadecimal: the signature of a group, the idempotency key of
// a report found in a log.
#include <string>
#include <string_view>

// The 128-bit digest of `text` as 32 hexadecimal digits.
std::string HexDigest(std::string_view text);
