#pragma once
// The version block of a file, in the manner of the original platform's
// version calls: ask its size, read it, query values out of it.
//
// The block has the published format: a tree of nodes (length, value length,
// type, UTF-16LE key, 32-bit aligned value and children), whose root carries
// the fixed part (TFixedFileInfo) and whose "StringFileInfo" child holds one
// string table per language and code page ("040904E4": language 0x0409, code
// page 1252), each holding key/value texts.
//
// Where the block comes from:
//   - a Windows executable or library (PE32 or PE32+): the first version
//     resource (type 16, first name, first language) of its resource section;
//   - an ELF file (32 or 64 bit, either byte order): the section named
//     ".vek_version", which holds a block of the same format. Our own
//     executable carries one, written at build time.
// Anything else has no version block.
//
// Everything a file gives (offsets, lengths, counts, addresses, alignment,
// key and text lengths) is checked against the bytes really there. A damaged
// or hostile file reads as "no version block", or its query fails; no call
// reads outside the file, allocates more than the block's own size (at most
// 64 KiB, the limit of its 16-bit length) or loops without end. No call
// throws except std::bad_alloc.
#include <cstdint>
#include <string>
#include <string_view>

// The fixed part of a version block (the original platform's
// VS_FIXEDFILEINFO, same fields, same order, 52 bytes).
struct TFixedFileInfo {
  std::uint32_t dwSignature = 0;  // VS_FFI_SIGNATURE in a valid block
  std::uint32_t dwStrucVersion = 0;
  std::uint32_t dwFileVersionMS = 0;  // major << 16 | minor
  std::uint32_t dwFileVersionLS = 0;  // release << 16 | build
  std::uint32_t dwProductVersionMS = 0;
  std::uint32_t dwProductVersionLS = 0;
  std::uint32_t dwFileFlagsMask = 0;
  std::uint32_t dwFileFlags = 0;
  std::uint32_t dwFileOS = 0;    // VOS_* value
  std::uint32_t dwFileType = 0;  // VFT_* value
  std::uint32_t dwFileSubtype = 0;
  std::uint32_t dwFileDateMS = 0;
  std::uint32_t dwFileDateLS = 0;
};

inline constexpr std::uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr std::size_t FixedFileInfoSize = 52;

// The size in bytes of the file's version block; 0 when the file has none,
// cannot be opened or read, is not a regular file, or its block is damaged
// beyond the node header of its root.
std::uint32_t GetFileVersionInfoSize(const std::string& fileName);

// Reads the file's version block into `block` (exactly
// GetFileVersionInfoSize bytes). False, `block` emptied, where
// GetFileVersionInfoSize gives 0.
bool GetFileVersionInfo(const std::string& fileName, std::string& block);

// The sub-block "\": the block's fixed part. False when the root node has no
// value of at least 52 bytes or its signature is not VS_FFI_SIGNATURE;
// `fixed` is then left unchanged.
bool VerQueryValue(const std::string& block, const std::string& subBlock, TFixedFileInfo& fixed);

// Any other sub-block: the path of node keys from the root, separated by "\"
// (empty components ignored, keys compared without regard to ASCII case),
// e.g. "\StringFileInfo\040904E4\CompanyName" or "\VarFileInfo\Translation".
// For a text node (type 1) `value` is the text up to its terminating zero,
// converted from UTF-16LE to UTF-8 (the 8-bit code page here; an unpaired
// surrogate gives U+FFFD). For a binary node (type 0) it is the value's bytes.
// For "\" it is the root's value (the fixed part's raw bytes, unchecked).
// False, `value` unchanged, when a node of the path is missing or damaged.
bool VerQueryValue(const std::string& block, const std::string& subBlock, std::string& value);

// The version block of a file held in memory: the same reading as
// GetFileVersionInfo, over `image` instead of a file. False, `block`
// emptied, when there is none.
bool ExtractVersionBlock(std::string_view image, std::string& block);
