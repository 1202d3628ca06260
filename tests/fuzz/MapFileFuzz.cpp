// Feeds arbitrary bytes to the map file reader as a map, then looks up
// offsets: a few fixed ones and four taken from the input's last 16 bytes,
// each with its neighbours. Loading may only fail with the reader's own
// error, a lookup only with the conversion error of a segment length;
// nothing may crash or read outside the lines, and the results must keep
// their forms.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "diag/U_VEK_Debug.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

// "<Unknown>" or a whole number, as the line search writes it.
bool IsLineNumberText(const std::string& S) {
  if (S == "<Unknown>") return true;
  std::size_t i = S.size() > 1 && S[0] == '-' ? 1 : 0;
  if (i == S.size()) return false;
  for (; i < S.size(); ++i)
    if (S[i] < '0' || S[i] > '9') return false;
  return true;
}

struct TResults {
  std::string Unit, Public, Line;
  std::int32_t Offset = 0;
  bool operator==(const TResults&) const = default;
};

TResults ResultsOf(const TVEKMapFile& Map) {
  return {Map.UnitName(), Map.PublicName(), Map.LineNumber(), Map.PublicOffset()};
}

void Check(TVEKMapFile& Map, std::uint32_t Offset, std::size_t Size) {
  const TResults before = ResultsOf(Map);
  try {
    Map.LookupOffset(Offset);
  } catch (const EConvertError&) {
    if (!Map.Loaded()) __builtin_trap();
    return;
  }
  const TResults after = ResultsOf(Map);
  if (!Map.Loaded() && !(after == before)) __builtin_trap();
  if (!IsLineNumberText(after.Line)) __builtin_trap();
  for (const std::string* text : {&after.Unit, &after.Public}) {
    if (*text == "<Unknown>") continue;
    if (text->size() > Size) __builtin_trap();
    if (!text->empty() && (IsBlank(text->front()) || IsBlank(text->back()))) __builtin_trap();
  }
  // The same offset again is answered from the cache.
  Map.LookupOffset(Offset);
  if (!(ResultsOf(Map) == after)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVEKMapFile map;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    map.LoadFromText("fuzz.map", text);
  } catch (const EMapFileException& e) {
    if (map.Loaded() || e.Message() != "Invalid Map File : fuzz.map.") __builtin_trap();
  }

  std::vector<std::uint32_t> offsets = {0, 1, 0x3A10, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
  if (size >= 16)
    for (std::size_t k = 0; k < 4; ++k) {
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < 4; ++b) v |= std::uint32_t{data[size - 16 + 4 * k + b]} << (8 * b);
      offsets.insert(offsets.end(), {v - 1, v, v + 1});
    }
  for (std::uint32_t offset : offsets) Check(map, offset, size);
  // The header's identity is one trimmed line of the input.
  const std::string identity = TVEKMapFile::IdentityOf(text);
  if (identity.size() > size || identity.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  return 0;
}
