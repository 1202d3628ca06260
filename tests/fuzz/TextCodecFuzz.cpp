// Feeds arbitrary bytes to the reading of outside text: the UTF-8 check must
// agree with Qt's own decoder, valid UTF-8 must come back unchanged, and any
// other text must give exactly one character per byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include <QStringDecoder>

#include "base/TextCodec.h"
#include "runtime/QtText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const bool valid = IsValidUtf8(input);
  QStringDecoder qtUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString byQt = qtUtf8.decode(QByteArrayView(input.data(), static_cast<qsizetype>(input.size())));
  if (valid == qtUtf8.hasError()) __builtin_trap();
  const QString shown = ToQString(input);
  if (valid) {
    if (shown != byQt || FromQString(shown) != input) __builtin_trap();
  } else {
    if (shown.size() != static_cast<qsizetype>(size)) __builtin_trap();
    for (std::size_t i = 0; i < size; ++i)
      if (shown[static_cast<qsizetype>(i)].unicode() != Cp1252ToUnicode(data[i])) __builtin_trap();
  }
  return 0;
}
