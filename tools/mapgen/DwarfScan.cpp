#include "DwarfScan.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "CodeRuns.h"
#include "base/Demangle.h"

namespace {

// Nesting deeper than this (namespaces, classes, origin chains) is not
// followed; real code stays far below it, broken files cannot loop.
constexpr int MaxDepth = 64;

struct TText {
  GElf_Addr Address = 0;
  GElf_Addr End = 0;
  bool Holds(Dwarf_Addr A) const { return A >= Address && A < End; }
  std::uint32_t Offset(Dwarf_Addr A) const { return static_cast<std::uint32_t>(A - Address); }
};

// The open file with its ELF and DWARF handles, closed in reverse order.
class TElfFile {
 public:
  explicit TElfFile(const std::string& FileName) {
    FFd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (FFd < 0) throw EMapGenError(FileName + ": cannot open: " + std::strerror(errno));
    FElf = elf_begin(FFd, ELF_C_READ_MMAP, nullptr);
    if (!FElf || elf_kind(FElf) != ELF_K_ELF) throw EMapGenError(FileName + ": not an ELF file");
  }
  ~TElfFile() {
    if (FDwarf) dwarf_end(FDwarf);
    if (FElf) elf_end(FElf);
    if (FFd >= 0) ::close(FFd);
  }
  TElfFile(const TElfFile&) = delete;
  TElfFile& operator=(const TElfFile&) = delete;

  Elf* ElfHandle() const { return FElf; }
  Dwarf* OpenDwarf() {
    FDwarf = dwarf_begin_elf(FElf, DWARF_C_READ, nullptr);
    return FDwarf;
  }

 private:
  int FFd = -1;
  Elf* FElf = nullptr;
  Dwarf* FDwarf = nullptr;
};

// The section named .text that holds code.
bool FindText(Elf* E, TText& Text) {
  std::size_t names = 0;
  if (elf_getshdrstrndx(E, &names) != 0) return false;
  for (Elf_Scn* scn = elf_nextscn(E, nullptr); scn; scn = elf_nextscn(E, scn)) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_PROGBITS || !(sh.sh_flags & SHF_EXECINSTR)) continue;
    const char* name = elf_strptr(E, names, sh.sh_name);
    if (!name || std::strcmp(name, ".text") != 0) continue;
    Text.Address = sh.sh_addr;
    Text.End = sh.sh_addr + sh.sh_size;
    return Text.End >= Text.Address;
  }
  return false;
}

const char* StringAttr(Dwarf_Die* Die, unsigned Name) {
  Dwarf_Attribute attr;
  return dwarf_attr(Die, Name, &attr) ? dwarf_formstring(&attr) : nullptr;
}

// A namespace or class in which declarations stand. Node 0 is file level.
struct TScope {
  int Parent = -1;
  std::string Name;
  bool IsClass = false;
  bool Opaque = false;  // this or an outer scope has no name the text can give
};

class TScopes {
 public:
  TScopes() { FNodes.push_back({}); }

  int Child(int Parent, const char* Name, bool IsClass) {
    std::string name = Name ? Name : "";
    // An unnamed class has no text; an unnamed namespace has the demangler's.
    const bool opaque = FNodes[Parent].Opaque || (IsClass && name.empty());
    if (!IsClass && name.empty()) name = "(anonymous namespace)";
    const auto key = std::make_tuple(Parent, name, IsClass);
    if (auto it = FIndex.find(key); it != FIndex.end()) return it->second;
    FNodes.push_back({Parent, name, IsClass, opaque});
    FIndex.emplace(key, static_cast<int>(FNodes.size() - 1));
    return static_cast<int>(FNodes.size() - 1);
  }

  const TScope& operator[](int Node) const { return FNodes[Node]; }

  // "ns::TOuter::TInner" for the scope's chain; "" at file level.
  std::string Qualified(int Node) const {
    std::vector<const std::string*> parts;
    for (int n = Node; n > 0; n = FNodes[n].Parent) parts.push_back(&FNodes[n].Name);
    std::string out;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
      if (!out.empty()) out += "::";
      out += **it;
    }
    return out;
  }

 private:
  std::vector<TScope> FNodes;
  std::map<std::tuple<int, std::string, bool>, int> FIndex;
};

// Where a DIE stands: for a function, the scope that holds it; for a
// namespace or class, the scope it opens.
struct TPlace {
  Dwarf_Off Offset;
  int Scope;
};

struct TRawLine {
  std::uint32_t Offset;
  std::uint32_t Line;
  bool End;
  std::size_t Order;
};

struct TUnitBuild {
  TMapUnit Unit;
  std::set<int> MainFiles;  // the own source files of its compilation units
  std::vector<TRawLine> Raw;
};

// The runs of one compilation unit's code and the unit it belongs to.
struct TUnitRuns {
  std::size_t Unit;
  int MainFile;
  std::vector<TCodeRun> Runs;
};

// The file table of one compilation unit, its names turned into the
// program's file numbers. libdw gives one pointer per file of the table.
struct TUnitFiles {
  const char* CompDir = nullptr;
  Dwarf_Files* Files = nullptr;
  std::size_t Count = 0;
  std::unordered_map<const char*, int> Numbers;
};

class TScanner {
 public:
  TScanner(Elf* E, Dwarf* D, const TText& Text) : FElf(E), FDwarf(D), FText(Text) {}

  TScanResult Run() {
    Dwarf_CU* cu = nullptr;
    Dwarf_CU* next = nullptr;
    Dwarf_Half version = 0;
    std::uint8_t unitType = 0;
    Dwarf_Die cuDie;
    while (dwarf_get_units(FDwarf, cu, &next, &version, &unitType, &cuDie, nullptr) == 0) {
      cu = next;
      if (unitType != DW_UT_compile || dwarf_tag(&cuDie) != DW_TAG_compile_unit) continue;
      ScanUnit(cuDie);
    }
    if (!std::is_sorted(FPlaces.begin(), FPlaces.end(),
                        [](const TPlace& A, const TPlace& B) { return A.Offset < B.Offset; }))
      std::stable_sort(FPlaces.begin(), FPlaces.end(),
                       [](const TPlace& A, const TPlace& B) { return A.Offset < B.Offset; });

    TScanResult result;
    result.Image.TextSize = static_cast<std::uint32_t>(FText.End - FText.Address);
    for (Dwarf_Off def : FDefinitions) AddDefinition(def);
    AddSymbols();
    PlaceRuns();
    result.Image.Publics = SortedPublics();
    result.Image.Segments = SortedSegments();
    for (TUnitBuild& b : FUnits) {
      b.Unit.Lines = CleanLines(b.Raw);
      result.Image.Units.push_back(std::move(b.Unit));
    }
    for (const std::string& name : OrderLineBlocks(result.Image.Units))
      result.Warnings.push_back("the line numbers of unit " + name +
                                " are looked up in another unit's block, which names it too");
    return result;
  }

 private:
  void ScanUnit(Dwarf_Die& CuDie) {
    const char* source = dwarf_diename(&CuDie);
    const std::string unitName = source ? MapUnitName(source) : std::string();
    const std::size_t firstDefinition = FDefinitions.size();
    Walk(CuDie, 0, 0);
    if (unitName.empty()) return;
    auto [it, added] = FUnitIndex.emplace(unitName, FUnits.size());
    if (added) {
      FUnits.emplace_back();
      FUnits.back().Unit.Name = unitName;
    }
    TUnitBuild& unit = FUnits[it->second];
    const std::string sourceText = MapLineText(source);
    if (std::find(unit.Unit.Sources.begin(), unit.Unit.Sources.end(), sourceText) == unit.Unit.Sources.end())
      unit.Unit.Sources.push_back(sourceText);
    TUnitFiles files;
    files.CompDir = StringAttr(&CuDie, DW_AT_comp_dir);
    if (dwarf_getsrcfiles(&CuDie, &files.Files, &files.Count) != 0) files.Count = 0;
    const int mainFile = FileNumber(Normalized(files.CompDir, source));
    unit.MainFiles.insert(mainFile);
    FRuns.push_back({it->second, mainFile, CodeRunsOf(UnitCode(CuDie, files, mainFile, firstDefinition))});
  }

  static std::string Normalized(const char* CompDir, const char* Path) {
    std::filesystem::path p(Path);
    if (p.is_relative() && CompDir) p = std::filesystem::path(CompDir) / p;
    return p.lexically_normal().string();
  }

  int FileNumber(const std::string& Path) {
    auto [it, added] = FFileIndex.emplace(Path, static_cast<int>(FFiles.size()));
    if (added) FFiles.push_back(Path);
    return it->second;
  }

  int FileNumber(const char* Name, TUnitFiles& Files) {
    if (!Name) return -1;
    auto [it, added] = Files.Numbers.emplace(Name, -1);
    if (added) it->second = FileNumber(Normalized(Files.CompDir, Name));
    return it->second;
  }

  // The ranges of a DIE inside .text, cut at its end.
  template <typename TAdd>
  void TextRanges(Dwarf_Die& Die, TAdd Add) const {
    Dwarf_Addr base = 0, start = 0, end = 0;
    for (ptrdiff_t o = 0; (o = dwarf_ranges(&Die, o, &base, &start, &end)) > 0;)
      if (end > start && FText.Holds(start)) Add(TCodeRange{start, std::min<Dwarf_Addr>(end, FText.End)});
  }

  // What the unit's DWARF tells of its code: its ranges, its line table,
  // its functions (those Walk found from FirstDefinition on) with the
  // outermost inlined code in each.
  TUnitCode UnitCode(Dwarf_Die& CuDie, TUnitFiles& Files, int MainFile, std::size_t FirstDefinition) {
    TUnitCode code;
    code.MainFile = MainFile;
    TextRanges(CuDie, [&](const TCodeRange& R) { code.Ranges.push_back(R); });
    Dwarf_Lines* lines = nullptr;
    std::size_t count = 0;
    if (dwarf_getsrclines(&CuDie, &lines, &count) != 0) count = 0;
    code.Rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      Dwarf_Line* line = dwarf_onesrcline(lines, i);
      Dwarf_Addr address = 0;
      int number = 0;
      bool end = false;
      if (!line || dwarf_lineaddr(line, &address) != 0 || dwarf_lineno(line, &number) != 0 ||
          dwarf_lineendsequence(line, &end) != 0)
        continue;
      // The end of a sequence may lie just behind the last byte of .text.
      if (!(FText.Holds(address) || (end && address == FText.End))) continue;
      if (end)
        code.Rows.push_back({address, -1, 0, true});
      else
        code.Rows.push_back({address, FileNumber(dwarf_linesrc(line, nullptr, nullptr), Files),
                             number > 0 ? static_cast<std::uint32_t>(number) : 0, false});
    }
    for (std::size_t i = FirstDefinition; i < FDefinitions.size(); ++i) {
      Dwarf_Die die;
      if (!dwarf_offdie(FDwarf, FDefinitions[i], &die)) continue;
      TFunctionCode function;
      TextRanges(die, [&](const TCodeRange& R) { function.Ranges.push_back(R); });
      if (function.Ranges.empty()) continue;
      function.File = FileNumber(dwarf_decl_file(&die), Files);
      CollectCalls(die, Files, function.Calls, 0);
      code.Functions.push_back(std::move(function));
    }
    return code;
  }

  // The inlined subroutines that stand directly in a function's body (inside
  // its blocks, not inside another inlined subroutine) with their calls.
  void CollectCalls(Dwarf_Die& Parent, TUnitFiles& Files, std::vector<TCallSite>& Calls, int Depth) {
    if (Depth > MaxDepth) return;
    Dwarf_Die child;
    if (dwarf_child(&Parent, &child) != 0) return;
    do {
      switch (dwarf_tag(&child)) {
        case DW_TAG_inlined_subroutine: {
          Dwarf_Attribute attr;
          Dwarf_Word file = 0, line = 0;
          int number = -1;
          if (dwarf_formudata(dwarf_attr(&child, DW_AT_call_file, &attr), &file) == 0 && file < Files.Count)
            number = FileNumber(dwarf_filesrc(Files.Files, file, nullptr, nullptr), Files);
          if (dwarf_formudata(dwarf_attr(&child, DW_AT_call_line, &attr), &line) != 0 || line > MaxMapLine) line = 0;
          TextRanges(child, [&](const TCodeRange& R) {
            Calls.push_back({R, number, static_cast<std::uint32_t>(line)});
          });
          break;
        }
        case DW_TAG_lexical_block:
        case DW_TAG_try_block:
        case DW_TAG_catch_block:
          CollectCalls(child, Files, Calls, Depth + 1);
          break;
        default:
          break;
      }
    } while (dwarf_siblingof(&child, &child) == 0);
  }

  // Code that several compilation units describe (the linker kept one copy
  // of an inline function or template and pointed the others' DWARF at it)
  // belongs to the first of them, as it does for libdw's lookup by address.
  void ClipSharedCode() {
    std::map<std::uint64_t, std::uint64_t> claimed;  // start -> end, disjoint
    for (TUnitRuns& unit : FRuns) {
      std::vector<TCodeRun> kept;
      for (const TCodeRun& run : unit.Runs) {
        std::uint64_t at = run.Start;
        auto it = claimed.upper_bound(at);
        if (it != claimed.begin() && std::prev(it)->second > at) at = std::prev(it)->second;
        for (; at < run.End; ++it) {
          const std::uint64_t next = it == claimed.end() ? run.End : std::min(run.End, it->first);
          if (next > at) kept.push_back({at, next, run.File, run.Line});
          if (it == claimed.end()) break;
          at = std::max(at, it->second);
        }
      }
      for (const TCodeRun& run : unit.Runs) {
        auto it = claimed.upper_bound(run.Start);
        if (it != claimed.begin() && std::prev(it)->second >= run.Start) {
          --it;
        } else {
          it = claimed.emplace(run.Start, run.End).first;
        }
        it->second = std::max(it->second, run.End);
        for (auto next = std::next(it); next != claimed.end() && next->first <= it->second;) {
          it->second = std::max(it->second, next->second);
          next = claimed.erase(next);
        }
      }
      unit.Runs = std::move(kept);
    }
  }

  // Each run goes to a unit: to its compilation unit's when its file is that
  // unit's own source; else to the unit whose only source the file is (a
  // source file included by another); else to a unit of the file's own,
  // named after it (a header's inline functions and templates), so that no
  // code answers with a line of a file it does not come from.
  void PlaceRuns() {
    ClipSharedCode();
    std::map<int, std::size_t> unitOfFile;
    std::set<std::string> taken;
    for (std::size_t u = 0; u < FUnits.size(); ++u) {
      taken.insert(FUnits[u].Unit.Name);
      if (FUnits[u].MainFiles.size() == 1) unitOfFile.emplace(*FUnits[u].MainFiles.begin(), u);
    }
    std::vector<int> headers;  // in the order their code first comes
    std::set<int> seen;
    for (const TUnitRuns& unit : FRuns)
      for (const TCodeRun& run : unit.Runs)
        if (run.File != unit.MainFile && !unitOfFile.count(run.File) && seen.insert(run.File).second)
          headers.push_back(run.File);
    std::vector<std::string> paths;
    for (int file : headers) paths.push_back(FFiles[static_cast<std::size_t>(file)]);
    const std::vector<std::string> names = MapFileUnitNames(paths, taken);
    for (std::size_t h = 0; h < headers.size(); ++h) {
      unitOfFile.emplace(headers[h], FUnits.size());
      FUnits.emplace_back();
      FUnits.back().Unit.Name = names[h];
      FUnits.back().Unit.Sources.push_back(MapLineText(paths[h]));
    }
    std::vector<std::uint32_t> ends(FUnits.size(), 0);
    for (const TUnitRuns& unit : FRuns)
      for (const TCodeRun& run : unit.Runs) {
        const std::size_t u = run.File == unit.MainFile ? unit.Unit : unitOfFile.at(run.File);
        TUnitBuild& b = FUnits[u];
        const std::uint32_t start = FText.Offset(run.Start);
        const auto end = static_cast<std::uint32_t>(run.End - FText.Address);
        FSegments.push_back({start, end - start, b.Unit.Name});
        b.Raw.push_back({start, run.Line, false, b.Raw.size()});
        ends[u] = std::max(ends[u], end);
      }
    // The reader answers a line only below a unit's last entry: one at the
    // end of its code closes it. Between the unit's runs lie other units'
    // segments, whose lookups never reach this block.
    for (std::size_t u = 0; u < FUnits.size(); ++u)
      if (!FUnits[u].Raw.empty()) FUnits[u].Raw.push_back({ends[u], 0, true, FUnits[u].Raw.size()});
  }

  // One entry per offset, the way the reader can use them: a run's line at
  // that offset wins over the end of the run before it; an entry that
  // repeats the line before it changes no lookup and is left out (the reader
  // starts from line 0, so a leading end is too).
  static std::vector<TMapLine> CleanLines(std::vector<TRawLine>& Raw) {
    std::sort(Raw.begin(), Raw.end(), [](const TRawLine& A, const TRawLine& B) {
      if (A.Offset != B.Offset) return A.Offset < B.Offset;
      if (A.End != B.End) return A.End;  // the ends first, the rows after them
      return A.Order < B.Order;
    });
    std::vector<TMapLine> out;
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < Raw.size(); ++i) {
      if (i + 1 < Raw.size() && Raw[i + 1].Offset == Raw[i].Offset) continue;  // the last one stands
      // A line too long for its columns is no line rather than the one before.
      const std::uint32_t line = Raw[i].Line > MaxMapLine ? 0 : Raw[i].Line;
      if (line == previous) continue;
      out.push_back({Raw[i].Offset, line});
      previous = line;
    }
    return out;
  }

  int PlaceOf(Dwarf_Off Offset) const {
    auto it = std::lower_bound(FPlaces.begin(), FPlaces.end(), Offset,
                               [](const TPlace& P, Dwarf_Off O) { return P.Offset < O; });
    return it != FPlaces.end() && it->Offset == Offset ? it->Scope : -1;
  }

  // The scope a namespace or class opens; a definition that completes a
  // declaration elsewhere opens the declaration's scope.
  int OpenedScope(Dwarf_Die& Die, int Scope, bool IsClass) {
    Dwarf_Attribute attr;
    Dwarf_Die declaration;
    if (dwarf_attr(&Die, DW_AT_specification, &attr) && dwarf_formref_die(&attr, &declaration)) {
      const int known = PlaceOf(dwarf_dieoffset(&declaration));
      if (known >= 0) return known;
    }
    return FScopes.Child(Scope, dwarf_diename(&Die), IsClass);
  }

  // Records where the namespaces, classes and functions of a scope stand and
  // which functions have code. Function bodies are not entered: what is
  // declared there (local classes, lambdas) is named from the linkage name.
  void Walk(Dwarf_Die& Parent, int Scope, int Depth) {
    if (Depth > MaxDepth) return;
    Dwarf_Die child;
    if (dwarf_child(&Parent, &child) != 0) return;
    do {
      switch (dwarf_tag(&child)) {
        case DW_TAG_namespace: {
          const int node = OpenedScope(child, Scope, false);
          FPlaces.push_back({dwarf_dieoffset(&child), node});
          Walk(child, node, Depth + 1);
          break;
        }
        case DW_TAG_class_type:
        case DW_TAG_structure_type:
        case DW_TAG_union_type: {
          const int node = OpenedScope(child, Scope, true);
          FPlaces.push_back({dwarf_dieoffset(&child), node});
          if (!dwarf_hasattr(&child, DW_AT_declaration)) Walk(child, node, Depth + 1);
          break;
        }
        case DW_TAG_subprogram:
          FPlaces.push_back({dwarf_dieoffset(&child), Scope});
          if (dwarf_hasattr(&child, DW_AT_low_pc) || dwarf_hasattr(&child, DW_AT_ranges))
            FDefinitions.push_back(dwarf_dieoffset(&child));
          break;
        default:
          break;
      }
    } while (dwarf_siblingof(&child, &child) == 0);
  }

  // The "Class.method" name of a function with code: its name and scope come
  // from the declaration its DW_AT_abstract_origin and DW_AT_specification lead to. Rank 0
  // when the name is complete; rank 2 when only the bare name is known (a
  // lambda's "operator()"), which the symbol table's name then beats.
  std::pair<std::string, int> PublicNameOfDie(Dwarf_Die& Die) {
    std::string name, linkage;
    Dwarf_Die current = Die;
    for (int depth = 0; depth < MaxDepth; ++depth) {
      if (name.empty())
        if (const char* n = StringAttr(&current, DW_AT_name)) name = n;
      if (linkage.empty()) {
        const char* l = StringAttr(&current, DW_AT_linkage_name);
        if (!l) l = StringAttr(&current, DW_AT_MIPS_linkage_name);
        if (l) linkage = l;
      }
      Dwarf_Attribute attr;
      Dwarf_Die origin;
      if (!dwarf_attr(&current, DW_AT_abstract_origin, &attr) && !dwarf_attr(&current, DW_AT_specification, &attr))
        break;
      if (!dwarf_formref_die(&attr, &origin)) break;
      current = origin;
    }
    const int scope = PlaceOf(dwarf_dieoffset(&current));
    if (scope >= 0 && !FScopes[scope].Opaque && !name.empty()) {
      if (scope == 0) return {name, 0};
      const std::string qualified = FScopes.Qualified(scope);
      return {FScopes[scope].IsClass ? JoinPublicName(qualified, name) : qualified + "::" + name, 0};
    }
    if (!linkage.empty()) return {PublicNameOf(Demangle(linkage.c_str())), 0};
    return {name, 2};
  }

  void AddDefinition(Dwarf_Off Offset) {
    Dwarf_Die die;
    if (!dwarf_offdie(FDwarf, Offset, &die)) return;
    std::pair<std::string, int> name;
    Dwarf_Addr base = 0, start = 0, end = 0;
    for (ptrdiff_t o = 0; (o = dwarf_ranges(&die, o, &base, &start, &end)) > 0;) {
      if (end <= start || !FText.Holds(start)) continue;
      if (name.first.empty()) name = PublicNameOfDie(die);
      if (name.first.empty()) return;
      FPublics.push_back({FText.Offset(start), name.second, name.first});
    }
  }

  // Functions the DWARF does not describe: start-up code, objects built
  // without debug information.
  void AddSymbols() {
    for (Elf_Scn* scn = elf_nextscn(FElf, nullptr); scn; scn = elf_nextscn(FElf, scn)) {
      GElf_Shdr sh;
      if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB || sh.sh_entsize == 0) continue;
      Elf_Data* data = elf_getdata(scn, nullptr);
      if (!data) continue;
      const std::size_t count = sh.sh_size / sh.sh_entsize;
      for (std::size_t i = 0; i < count; ++i) {
        GElf_Sym sym;
        if (!gelf_getsym(data, static_cast<int>(i), &sym) || GELF_ST_TYPE(sym.st_info) != STT_FUNC ||
            sym.st_shndx == SHN_UNDEF || !FText.Holds(sym.st_value))
          continue;
        const char* name = elf_strptr(FElf, sh.sh_link, sym.st_name);
        if (!name || !*name) continue;
        FPublics.push_back({FText.Offset(sym.st_value), 1, PublicNameOf(Demangle(name))});
      }
    }
  }

  struct TCandidate {
    std::uint32_t Offset;
    int Rank;  // 0: the DWARF's full name, 1: the symbol table's, 2: the DWARF's bare name
    std::string Name;
  };

  // One public per offset: the best rank first, then the smallest name.
  std::vector<TMapPublic> SortedPublics() {
    std::sort(FPublics.begin(), FPublics.end(), [](const TCandidate& A, const TCandidate& B) {
      return std::tie(A.Offset, A.Rank, A.Name) < std::tie(B.Offset, B.Rank, B.Name);
    });
    std::vector<TMapPublic> out;
    for (const TCandidate& c : FPublics)
      if (!c.Name.empty() && (out.empty() || out.back().Offset != c.Offset)) out.push_back({c.Offset, c.Name});
    return out;
  }

  // Sorted by start; overlapping or touching pieces of one unit are joined.
  std::vector<TMapSegment> SortedSegments() {
    std::sort(FSegments.begin(), FSegments.end(), [](const TMapSegment& A, const TMapSegment& B) {
      return std::tie(A.Start, A.Length, A.Unit) < std::tie(B.Start, B.Length, B.Unit);
    });
    std::vector<TMapSegment> out;
    for (const TMapSegment& s : FSegments) {
      if (!out.empty() && out.back().Unit == s.Unit && std::uint64_t{out.back().Start} + out.back().Length >= s.Start) {
        const std::uint64_t end = std::max<std::uint64_t>(std::uint64_t{out.back().Start} + out.back().Length,
                                                          std::uint64_t{s.Start} + s.Length);
        out.back().Length = static_cast<std::uint32_t>(end - out.back().Start);
        continue;
      }
      out.push_back(s);
    }
    return out;
  }

  Elf* FElf;
  Dwarf* FDwarf;
  TText FText;
  TScopes FScopes;
  std::vector<TPlace> FPlaces;
  std::vector<Dwarf_Off> FDefinitions;
  std::vector<TCandidate> FPublics;
  std::vector<TMapSegment> FSegments;
  std::vector<TUnitBuild> FUnits;
  std::map<std::string, std::size_t> FUnitIndex;
  std::vector<TUnitRuns> FRuns;
  std::vector<std::string> FFiles;  // normalized paths, by file number
  std::map<std::string, int> FFileIndex;
};

}  // namespace

TScanResult ScanExecutable(const std::string& FileName) {
  static const bool versionSet = elf_version(EV_CURRENT) != EV_NONE;
  if (!versionSet) throw EMapGenError("elfutils does not support the current ELF version");
  TElfFile file(FileName);
  GElf_Ehdr header;
  if (!gelf_getehdr(file.ElfHandle(), &header)) throw EMapGenError(FileName + ": not an ELF file");
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN)
    throw EMapGenError(FileName + ": not an executable or shared library");
  TText text;
  if (!FindText(file.ElfHandle(), text)) throw EMapGenError(FileName + ": has no .text section");
  if (text.End - text.Address > 0x7FFFFFFF) throw EMapGenError(FileName + ": .text is too large for a map file");
  Dwarf* dwarf = file.OpenDwarf();
  if (!dwarf)
    throw EMapGenError(FileName + ": has no DWARF debug information (" + dwarf_errmsg(-1) +
                       "); build it with -g and do not strip it");
  return TScanner(file.ElfHandle(), dwarf, text).Run();
}
