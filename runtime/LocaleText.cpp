#include "runtime/LocaleText.h"

#include <charconv>
#include <system_error>

#include <QDateTime>
#include <QLocale>

#include "runtime/QtText.h"

namespace {
// The long time format without its time-zone part: Qt's long formats add the
// zone ("t"), which the desktop's long time does not show.
QString LongTimeFormat(const QLocale& locale) {
  QString f = locale.timeFormat(QLocale::LongFormat);
  f.remove(QLatin1Char('t'));
  return f.trimmed();
}
}  // namespace

std::string DateTimeText(std::time_t when) {
  const QLocale locale = QLocale::system();
  const QDateTime t = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(when));
  return FromQString(locale.toString(t.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                     locale.toString(t.time(), LongTimeFormat(locale)));
}

std::string NowText() {
  return DateTimeText(std::time(nullptr));
}

std::string GroupedNumber(std::uint64_t value) {
  const QLocale locale = QLocale::system();
  const QString sep = locale.groupSeparator();
  std::string digits = std::to_string(value);
  std::string out;
  const std::string s = FromQString(sep);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += s;
    out += digits[i];
  }
  return out;
}

namespace {
std::string DecimalSeparator() {
  return FromQString(QLocale::system().decimalPoint());
}
}  // namespace

std::string FloatText(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (const std::size_t dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, DecimalSeparator());
  return text;
}

std::string FixedPointText(std::int64_t value, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 18) decimals = 18;
  std::uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  // The magnitude as unsigned, so that the most negative value has one too.
  const std::uint64_t magnitude =
      value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  std::string text = value < 0 ? "-" : "";
  text += std::to_string(magnitude / scale);
  std::uint64_t fraction = magnitude % scale;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, static_cast<std::size_t>(decimals) - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += DecimalSeparator();
    text += digits;
  }
  return text;
}
