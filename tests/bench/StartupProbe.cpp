// A Qt generic plugin that StartupBench loads into the programs it measures,
// through Qt's own QT_QPA_GENERIC_PLUGINS and QT_PLUGIN_PATH: the programs
// are the real ones, unchanged, and know nothing of it.
//
// "startupprobe:<fd>" watches the application's events. Once the first
// top-level window or dialog has received its first expose event and the
// toolkit has painted it (the expose is handled synchronously; a queued call
// runs after it), it writes the monotonic clock in nanoseconds and a line
// break to file descriptor <fd>, once.
#include <time.h>
#include <unistd.h>

#include <string>

#include <QEvent>
#include <QGenericPlugin>
#include <QGuiApplication>
#include <QWindow>

namespace {

class TStartupProbe final : public QObject {
 public:
  explicit TStartupProbe(int fd) : FFd(fd) { QCoreApplication::instance()->installEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (FSeen || event->type() != QEvent::Expose) return false;
    const auto* window = qobject_cast<QWindow*>(watched);
    if (!window || !window->isTopLevel() || !window->isExposed()) return false;
    if (window->type() != Qt::Window && window->type() != Qt::Dialog) return false;
    FSeen = true;
    QMetaObject::invokeMethod(this, &TStartupProbe::Report, Qt::QueuedConnection);
    return false;
  }

 private:
  void Report() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string line = std::to_string(static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec) + "\n";
    [[maybe_unused]] const ssize_t written = ::write(FFd, line.data(), line.size());
    ::close(FFd);
  }

  int FFd;
  bool FSeen = false;
};

}  // namespace

class TStartupProbePlugin final : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "StartupProbe.json")
 public:
  QObject* create(const QString& key, const QString& argument) override {
    bool ok = false;
    const int fd = argument.toInt(&ok);
    if (key.compare(QLatin1String("startupprobe"), Qt::CaseInsensitive) != 0 || !ok || fd < 0) return nullptr;
    return new TStartupProbe(fd);
  }
};

#include "StartupProbe.moc"
