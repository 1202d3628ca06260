#include "tests/support/DwarfFrames.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>

namespace {

std::string Normalized(const char* CompDir, const char* Path) {
  std::filesystem::path p(Path);
  if (p.is_relative() && CompDir) p = std::filesystem::path(CompDir) / p;
  return p.lexically_normal().string();
}

const char* CompDirOf(Dwarf_Die* CuDie) {
  Dwarf_Attribute attr;
  return dwarf_attr(CuDie, DW_AT_comp_dir, &attr) ? dwarf_formstring(&attr) : nullptr;
}

bool RangeHolds(Dwarf_Die* Die, Dwarf_Addr Address, Dwarf_Addr* Start) {
  Dwarf_Addr base = 0, start = 0, end = 0;
  for (ptrdiff_t o = 0; (o = dwarf_ranges(Die, o, &base, &start, &end)) > 0;)
    if (Address >= start && Address < end) {
      if (Start) *Start = start;
      return true;
    }
  return false;
}

}  // namespace

struct TDwarfFrames::TState {
  int Fd = -1;
  Elf* ElfHandle = nullptr;
  Dwarf* DwarfHandle = nullptr;
  Dwarf_Addr Text = 0, TextEnd = 0;
  std::vector<Dwarf_Off> Units;  // the compile units' DIE offsets, in order

  TState() = default;
  TState(const TState&) = delete;
  TState& operator=(const TState&) = delete;
  ~TState() {
    if (DwarfHandle) dwarf_end(DwarfHandle);
    if (ElfHandle) elf_end(ElfHandle);
    if (Fd >= 0) ::close(Fd);
  }

  template <typename TVisit>
  void EachUnit(TVisit Visit) {
    for (Dwarf_Off offset : Units) {
      Dwarf_Die cu;
      if (dwarf_offdie(DwarfHandle, offset, &cu)) Visit(cu);
    }
  }

  // The unit that holds Address: libdw's by its address ranges table, else
  // (compilers that write none) the first whose ranges hold it.
  bool UnitAt(Dwarf_Addr Address, Dwarf_Die& Cu) {
    if (dwarf_addrdie(DwarfHandle, Address, &Cu)) return true;
    for (Dwarf_Off offset : Units)
      if (dwarf_offdie(DwarfHandle, offset, &Cu) && RangeHolds(&Cu, Address, nullptr)) return true;
    return false;
  }

  void CollectFunctions(Dwarf_Die& Parent, std::set<std::pair<std::uint64_t, std::uint64_t>>& Ranges, int Depth) {
    Dwarf_Die child;
    if (Depth > 64 || dwarf_child(&Parent, &child) != 0) return;
    do {
      switch (dwarf_tag(&child)) {
        case DW_TAG_namespace:
        case DW_TAG_class_type:
        case DW_TAG_structure_type:
        case DW_TAG_union_type:
          CollectFunctions(child, Ranges, Depth + 1);
          break;
        case DW_TAG_subprogram: {
          Dwarf_Addr base = 0, start = 0, end = 0;
          for (ptrdiff_t o = 0; (o = dwarf_ranges(&child, o, &base, &start, &end)) > 0;)
            if (end > start && start >= Text && end <= TextEnd) Ranges.insert({start, end});
          break;
        }
        default:
          break;
      }
    } while (dwarf_siblingof(&child, &child) == 0);
  }
};

TDwarfFrames::TDwarfFrames(const std::string& Executable) : FState(std::make_unique<TState>()) {
  elf_version(EV_CURRENT);
  FState->Fd = ::open(Executable.c_str(), O_RDONLY | O_CLOEXEC);
  if (FState->Fd < 0) throw std::runtime_error(Executable + ": cannot open");
  FState->ElfHandle = elf_begin(FState->Fd, ELF_C_READ_MMAP, nullptr);
  std::size_t names = 0;
  if (FState->ElfHandle && elf_getshdrstrndx(FState->ElfHandle, &names) == 0)
    for (Elf_Scn* scn = elf_nextscn(FState->ElfHandle, nullptr); scn; scn = elf_nextscn(FState->ElfHandle, scn)) {
      GElf_Shdr sh;
      const char* name = gelf_getshdr(scn, &sh) ? elf_strptr(FState->ElfHandle, names, sh.sh_name) : nullptr;
      if (name && std::strcmp(name, ".text") == 0) {
        FState->Text = sh.sh_addr;
        FState->TextEnd = sh.sh_addr + sh.sh_size;
      }
    }
  if (FState->ElfHandle) FState->DwarfHandle = dwarf_begin_elf(FState->ElfHandle, DWARF_C_READ, nullptr);
  if (!FState->DwarfHandle || FState->TextEnd == 0) throw std::runtime_error(Executable + ": no .text or no DWARF");
  Dwarf_CU* cu = nullptr;
  Dwarf_CU* next = nullptr;
  Dwarf_Half version = 0;
  std::uint8_t unitType = 0;
  Dwarf_Die cuDie;
  while (dwarf_get_units(FState->DwarfHandle, cu, &next, &version, &unitType, &cuDie, nullptr) == 0) {
    cu = next;
    if (unitType == DW_UT_compile) FState->Units.push_back(dwarf_dieoffset(&cuDie));
  }
}

TDwarfFrames::~TDwarfFrames() = default;

std::uint64_t TDwarfFrames::TextAddress() const {
  return FState->Text;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> TDwarfFrames::FunctionRanges() {
  std::set<std::pair<std::uint64_t, std::uint64_t>> ranges;
  FState->EachUnit([&](Dwarf_Die& Cu) { FState->CollectFunctions(Cu, ranges, 0); });
  return {ranges.begin(), ranges.end()};
}

std::vector<std::uint64_t> TDwarfFrames::RowAddresses() {
  std::set<std::uint64_t> rows;
  FState->EachUnit([&](Dwarf_Die& Cu) {
    Dwarf_Lines* lines = nullptr;
    std::size_t count = 0;
    if (dwarf_getsrclines(&Cu, &lines, &count) != 0) return;
    for (std::size_t i = 0; i < count; ++i) {
      Dwarf_Addr address = 0;
      bool end = false;
      Dwarf_Line* line = dwarf_onesrcline(lines, i);
      if (line && dwarf_lineaddr(line, &address) == 0 && dwarf_lineendsequence(line, &end) == 0 && !end &&
          address >= FState->Text && address < FState->TextEnd)
        rows.insert(address);
    }
  });
  return {rows.begin(), rows.end()};
}

TOutermostFrame TDwarfFrames::At(std::uint64_t Address) {
  TOutermostFrame frame;
  Dwarf_Die cu;
  if (!FState->UnitAt(Address, cu)) return frame;
  const char* compDir = CompDirOf(&cu);
  if (const char* name = dwarf_diename(&cu)) frame.UnitSource = Normalized(compDir, name);

  Dwarf_Die* scopes = nullptr;
  const int count = dwarf_getscopes(&cu, Address, &scopes);
  Dwarf_Die* chain = nullptr;
  int depth = 0;
  if (count > 0) depth = dwarf_getscopes_die(&scopes[0], &chain);
  std::free(scopes);
  int function = -1, inlined = -1;
  for (int i = 0; i < depth; ++i)
    if (dwarf_tag(&chain[i]) == DW_TAG_subprogram) function = i;
  for (int i = 0; i < function; ++i)
    if (dwarf_tag(&chain[i]) == DW_TAG_inlined_subroutine) inlined = i;
  Dwarf_Addr start = 0;
  if (function >= 0 && RangeHolds(&chain[function], Address, &start)) {
    frame.HasFunction = true;
    frame.FunctionStart = start;
  }
  if (inlined >= 0) {
    Dwarf_Attribute attr;
    Dwarf_Word file = 0, line = 0;
    Dwarf_Files* files = nullptr;
    std::size_t fileCount = 0;
    if (dwarf_formudata(dwarf_attr(&chain[inlined], DW_AT_call_file, &attr), &file) == 0 &&
        dwarf_formudata(dwarf_attr(&chain[inlined], DW_AT_call_line, &attr), &line) == 0 &&
        dwarf_getsrcfiles(&cu, &files, &fileCount) == 0 && file < fileCount)
      if (const char* name = dwarf_filesrc(files, file, nullptr, nullptr)) {
        frame.File = Normalized(compDir, name);
        frame.Line = static_cast<int>(line);
      }
  } else if (Dwarf_Line* row = dwarf_getsrc_die(&cu, Address)) {
    const char* name = dwarf_linesrc(row, nullptr, nullptr);
    int line = 0;
    if (name && dwarf_lineno(row, &line) == 0 && line > 0) {
      frame.File = Normalized(compDir, name);
      frame.Line = line;
    }
  }
  std::free(chain);
  return frame;
}
