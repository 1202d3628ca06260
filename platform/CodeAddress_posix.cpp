// Code addresses on Linux: the dynamic loader's module list, the section
// headers of the executable's own file, dladdr for exported symbols, and
// libgcc's unwinder for the stack.
#include "platform/CodeAddress.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/TextUtil.h"
#include "platform/ByteSource.h"

namespace {

// --- the executable's .text -------------------------------------------------

using TEhdr = ElfW(Ehdr);
using TShdr = ElfW(Shdr);

constexpr unsigned char NativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char NativeData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
constexpr char TextName[] = ".text";  // compared with its terminating zero
// More section headers than this are not looked at (real files have a few
// dozen; the limit bounds the work a hostile count can cause).
constexpr std::uint64_t MaxSections = 1u << 16;

// The ELF header of a file of this machine's class and byte order.
bool ReadHeader(const TByteSource& image, TEhdr& header) {
  return image.Read(0, sizeof header, &header) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_ident[EI_CLASS] == NativeClass && header.e_ident[EI_DATA] == NativeData;
}

bool FindTextSection(const TByteSource& image, TShdr& text) {
  TEhdr header;
  if (!ReadHeader(image, header)) return false;
  const std::uint64_t table = header.e_shoff;
  const std::uint64_t entrySize = header.e_shentsize;
  if (table == 0 || entrySize < sizeof(TShdr)) return false;
  const std::uint64_t size = image.Size();
  if (table > size) return false;
  const std::uint64_t inFile = (size - table) / entrySize;  // whole headers the file holds
  auto section = [&](std::uint64_t Index, TShdr& S) {
    return Index < inFile && image.Read(table + Index * entrySize, sizeof S, &S);
  };

  // Extended numbering: a count of 0 or a name index of SHN_XINDEX means the
  // real value sits in section header 0.
  TShdr first;
  if (!section(0, first)) return false;
  std::uint64_t count = header.e_shnum;
  std::uint64_t names = header.e_shstrndx;
  if (count == 0) count = first.sh_size;
  if (names == SHN_XINDEX) names = first.sh_link;
  count = std::min({count, inFile, MaxSections});
  if (names == 0 || names >= count) return false;

  TShdr strings;
  if (!section(names, strings) || strings.sh_type == SHT_NOBITS) return false;
  if (strings.sh_offset > size || strings.sh_size > size - strings.sh_offset) return false;
  for (std::uint64_t i = 1; i < count; ++i) {
    TShdr s;
    if (!section(i, s)) return false;
    if (s.sh_name > strings.sh_size || strings.sh_size - s.sh_name < sizeof TextName) continue;
    char name[sizeof TextName];
    if (!image.Read(strings.sh_offset + s.sh_name, sizeof name, name)) return false;
    if (std::memcmp(name, TextName, sizeof name) != 0) continue;
    text = s;
    return true;
  }
  return false;
}

bool FindTextSection(const TByteSource& image, std::uintptr_t& address) {
  TShdr text;
  if (!FindTextSection(image, text)) return false;
  address = static_cast<std::uintptr_t>(text.sh_addr);
  return true;
}

// --- the executable's identity ----------------------------------------------

using TPhdr = ElfW(Phdr);
using TNhdr = ElfW(Nhdr);

// More program headers than this are not looked at.
constexpr std::uint64_t MaxSegments = 1u << 12;
// A build-id longer than this is no build-id (the linker writes 20 bytes).
constexpr std::uint64_t MaxBuildId = 64;

std::string HexText(const unsigned char* Bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[Bytes[i] >> 4];
    text += digits[Bytes[i] & 0x0F];
  }
  return text;
}

// The GNU build-id note of a note segment at [Offset, Offset + Size), its
// notes padded to Align bytes.
bool FindBuildIdIn(const TByteSource& image, std::uint64_t offset, std::uint64_t size, std::uint64_t align,
                   std::string& id) {
  auto padded = [align](std::uint64_t n) { return (n + align - 1) / align * align; };
  for (std::uint64_t at = 0; size - at >= sizeof(TNhdr);) {
    TNhdr note;
    if (!image.Read(offset + at, sizeof note, &note)) return false;
    at += sizeof note;
    const std::uint64_t name = padded(note.n_namesz), desc = padded(note.n_descsz);
    if (name > size - at || desc > size - at - name) return false;
    char owner[4];
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == sizeof owner && note.n_descsz > 0 &&
        note.n_descsz <= MaxBuildId && image.Read(offset + at, sizeof owner, owner) &&
        std::memcmp(owner, "GNU", sizeof owner) == 0) {
      unsigned char bytes[MaxBuildId];
      if (!image.Read(offset + at + name, note.n_descsz, bytes)) return false;
      id = "gnu-build-id " + HexText(bytes, note.n_descsz);
      return true;
    }
    at += name + desc;
  }
  return false;
}

bool FindBuildId(const TByteSource& image, std::string& id) {
  TEhdr header;
  if (!ReadHeader(image, header) || header.e_phoff == 0 || header.e_phentsize < sizeof(TPhdr)) return false;
  const std::uint64_t size = image.Size();
  if (header.e_phoff > size) return false;
  const std::uint64_t count =
      std::min<std::uint64_t>({header.e_phnum, MaxSegments, (size - header.e_phoff) / header.e_phentsize});
  for (std::uint64_t i = 0; i < count; ++i) {
    TPhdr ph;
    if (!image.Read(header.e_phoff + i * header.e_phentsize, sizeof ph, &ph)) return false;
    if (ph.p_type != PT_NOTE || ph.p_offset > size || ph.p_filesz > size - ph.p_offset) continue;
    if (FindBuildIdIn(image, ph.p_offset, ph.p_filesz, ph.p_align == 8 ? 8 : 4, id)) return true;
  }
  return false;
}

// "text <size> <hash>" of the .text section's bytes.
bool HashText(const TByteSource& image, std::string& id) {
  TShdr text;
  if (!FindTextSection(image, text) || text.sh_type == SHT_NOBITS) return false;
  if (text.sh_offset > image.Size() || text.sh_size > image.Size() - text.sh_offset) return false;
  std::uint64_t hash = Fnv1a64Basis;
  std::vector<char> chunk(1 << 16);
  for (std::uint64_t at = 0; at < text.sh_size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), text.sh_size - at));
    if (!image.Read(text.sh_offset + at, n, chunk.data())) return false;
    hash = Fnv1a64(std::string_view(chunk.data(), n), hash);
    at += n;
  }
  char line[64];
  std::snprintf(line, sizeof line, "text %08llX %016llX", static_cast<unsigned long long>(text.sh_size),
                static_cast<unsigned long long>(hash));
  id = line;
  return true;
}

std::string Identity(const TByteSource& image) {
  std::string id;
  if (FindBuildId(image, id) || HashText(image, id)) return id;
  return {};
}

// --- modules ----------------------------------------------------------------

// The executable's path, read once: the link keeps naming the file the
// process was started from.
const std::string& ExecutableFile() {
  static const std::string path = [] {
    char text[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", text, sizeof text);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) return std::string();
    return std::string(text, static_cast<std::size_t>(n));
  }();
  return path;
}

struct TModuleSearch {
  std::uintptr_t Address = 0;
  int Index = 0;
  bool Found = false;
  TCodeModule* Module = nullptr;
};

int VisitModule(dl_phdr_info* info, std::size_t, void* data) {
  auto& search = *static_cast<TModuleSearch*>(data);
  const bool main = search.Index++ == 0;  // the loader lists the executable first
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (search.Address < start || search.Address - start >= ph.p_memsz) continue;
    search.Found = true;
    search.Module->LoadBase = info->dlpi_addr;
    search.Module->MainExecutable = main;
    // The executable's own entry has an empty name.
    search.Module->FileName = main ? std::string() : std::string(info->dlpi_name ? info->dlpi_name : "");
    return 1;
  }
  return 0;
}

// --- the stack --------------------------------------------------------------

struct TCapture {
  TCodeFrame* Frames = nullptr;
  std::size_t Max = 0;
  std::size_t Skip = 0;
  std::size_t Count = 0;
  bool Started = false;
  std::uintptr_t LastCfa = 0;
  std::uintptr_t LastAddress = 0;
};

_Unwind_Reason_Code VisitFrame(_Unwind_Context* context, void* data) {
  auto& capture = *static_cast<TCapture*>(data);
  int beforeInstruction = 0;
  const std::uintptr_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
  const std::uintptr_t cfa = _Unwind_GetCFA(context);
  if (address == 0) return _URC_END_OF_STACK;
  // Frame addresses grow outward. A frame that a signal interrupted may lie
  // on another stack than the handler (an alternate signal stack), so the
  // order starts afresh there.
  if (capture.Started && beforeInstruction == 0 &&
      (cfa < capture.LastCfa || (cfa == capture.LastCfa && address == capture.LastAddress)))
    return _URC_END_OF_STACK;
  capture.Started = true;
  capture.LastCfa = cfa;
  capture.LastAddress = address;
  if (capture.Skip > 0) {
    --capture.Skip;
    return _URC_NO_REASON;
  }
  if (capture.Count >= capture.Max) return _URC_END_OF_STACK;
  TCodeFrame& frame = capture.Frames[capture.Count++];
  frame.Address = address;
  frame.Cfa = cfa;
  frame.Interrupted = beforeInstruction != 0;
  return capture.Count >= capture.Max ? _URC_END_OF_STACK : _URC_NO_REASON;
}

}  // namespace

bool FindCodeModule(std::uintptr_t address, TCodeModule& module) {
  TCodeModule found;
  TModuleSearch search;
  search.Address = address;
  search.Module = &found;
  dl_iterate_phdr(VisitModule, &search);
  if (!search.Found) return false;
  if (found.MainExecutable) found.FileName = ExecutableFile();
  module = std::move(found);
  return true;
}

bool ElfTextSectionAddress(std::string_view image, std::uintptr_t& address) {
  return FindTextSection(TMemorySource(image), address);
}

bool ElfTextSectionAddress(const std::string& fileName, std::uintptr_t& address) {
  return FindTextSection(TFileSource(fileName), address);
}

std::string ElfIdentity(std::string_view image) {
  return Identity(TMemorySource(image));
}

std::string ElfIdentity(const std::string& fileName) {
  return Identity(TFileSource(fileName));
}

const std::string& ExecutableIdentity() {
  static const std::string identity = ElfIdentity(std::string("/proc/self/exe"));
  return identity;
}

bool ExecutableTextAddress(std::uintptr_t& address) {
  struct TText {
    bool Known = false;
    std::uintptr_t Address = 0;
  };
  static const TText text = [] {
    TText t;
    t.Known = ElfTextSectionAddress(std::string("/proc/self/exe"), t.Address);
    return t;
  }();
  if (!text.Known) return false;
  address = text.Address;
  return true;
}

bool ExecutableCodeOffset(std::uintptr_t address, std::uintptr_t& offset) {
  TCodeModule module;
  std::uintptr_t text = 0;
  if (!FindCodeModule(address, module) || !module.MainExecutable || !ExecutableTextAddress(text)) return false;
  offset = address - module.LoadBase - text;
  return true;
}

bool NearestExportedSymbol(std::uintptr_t address, std::string& name, std::uintptr_t& symbolAddress) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) return false;
  if (!info.dli_sname || !info.dli_saddr || info.dli_sname[0] == '\0') return false;
  name = info.dli_sname;
  symbolAddress = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
  return true;
}

std::string ModuleBaseName(const std::string& fileName) {
  const std::size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

[[gnu::noinline]] std::size_t CaptureStack(TCodeFrame* frames, std::size_t max, std::size_t skip) {
  if (!frames || max == 0) return 0;
  TCapture capture;
  capture.Frames = frames;
  capture.Max = max;
  // The unwinder's first frame is CaptureStack itself.
  capture.Skip = skip + 1;
  _Unwind_Backtrace(VisitFrame, &capture);
  return capture.Count;
}
