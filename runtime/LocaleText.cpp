#include "runtime/LocaleText.h"

#include <QDateTime>
#include <QLocale>

#include "runtime/MessageBox.h"

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
