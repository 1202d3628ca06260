#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

// Qt before Xlib, whose macros (None, Status, ...) clash with Qt's names.
#include <QImage>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "tests/support/Wait.h"

extern char** environ;

namespace {
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    vars[kv.substr(0, kv.find('='))] = kv;
  }
  for (const auto& kv : extra) vars[kv.substr(0, kv.find('='))] = kv;
  std::vector<std::string> out;
  for (auto& [k, v] : vars) out.push_back(v);
  return out;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& env, int stdoutFd, int stderrFd) {
  std::vector<std::string> envs = MergedEnvironment(env);
  auto cargv = CStrings(argv);
  auto cenv = CStrings(envs);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
}  // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& outputFile) {
  int fd = -1;
  if (!outputFile.empty()) fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FPid = Spawn(argv, env, fd, fd);
  if (fd >= 0) ::close(fd);
}

TChildProcess::~TChildProcess() {
  if (Running()) {
    Signal(SIGKILL);
    Wait(std::chrono::seconds(5));
  }
}

bool TChildProcess::Running() {
  if (FPid <= 0 || FStatus) return false;
  int status = 0;
  rusage usage{};
  const pid_t r = ::wait4(FPid, &status, WNOHANG, &usage);
  if (r == FPid) {
    FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    FPeakRssKiB = usage.ru_maxrss;
    return false;
  }
  return r == 0;
}

std::optional<int> TChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (!WaitUntil([this] { return !Running(); }, timeout)) return std::nullopt;
  return FStatus;
}

void TChildProcess::Signal(int sig) {
  if (FPid > 0 && !FStatus) ::kill(FPid, sig);
}

void GiveToNobody(const std::string& folder) {
  constexpr uid_t NobodyId = 65534;
  std::error_code ec;
  (void)::lchown(folder.c_str(), NobodyId, NobodyId);
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    (void)::lchown(it->path().c_str(), NobodyId, NobodyId);
}

std::vector<std::string> AsNobodyIfRoot() {
  if (::geteuid() != 0) return {};
  return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

std::uint64_t NmSymbolValue(const std::string& file, const std::string& name, bool dynamic) {
  std::vector<std::string> argv{"nm"};
  if (dynamic) argv.push_back("-D");
  argv.push_back(file);
  std::istringstream in(RunAndRead(argv, {}, std::chrono::seconds(60)).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string value, type, symbol;
    if (fields >> value >> type >> symbol && (symbol == name || symbol.rfind(name + "@", 0) == 0))
      return std::stoull(value, nullptr, 16);
  }
  return 0;
}

std::optional<std::string> RunAndRead(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = Spawn(argv, env, fds[1], -1);
  ::close(fds[1]);
  if (pid <= 0) {
    ::close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  const auto end = std::chrono::steady_clock::now() + timeout;
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

std::vector<std::string> SanitizerEnvironmentIn(const std::string& folder) {
  const char* options = std::getenv("LSAN_OPTIONS");
  if (!options) return {};
  std::string value = options;
  const std::string key = "suppressions=";
  std::size_t at = value.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  const std::size_t end = value.find(':', at);
  const std::string source = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
  const std::string copy = folder + "/lsan.supp";
  std::error_code error;
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error) return {};
  std::filesystem::permissions(copy, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  value.replace(at, source.size(), copy);
  return {"LSAN_OPTIONS=" + value};
}

TXvfb::TXvfb() {
  int fds[2];
  if (::pipe(fds) != 0) return;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  // Xvfb writes the display number it chose to the descriptor given. Without
  // -noreset it resets whenever its last client leaves, and a program that
  // connects during the reset is turned away ("could not connect to
  // display"): a test that ends one program and starts the next would race it.
  FServer =
      std::make_unique<TChildProcess>(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset",
                                                               "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
                                      std::vector<std::string>{}, "/dev/null");
  ::close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    if (::poll(&p, 1, 200) <= 0) continue;
    char c;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (!number.empty()) FDisplay = ":" + number;
}

TXvfb::~TXvfb() {
  if (FWindowManager) {
    FWindowManager->Signal(SIGTERM);
    FWindowManager->Wait(std::chrono::seconds(5));
  }
  if (FServer) {
    FServer->Signal(SIGTERM);
    FServer->Wait(std::chrono::seconds(5));
  }
}

std::optional<std::string> TXvfb::XDoTool(const std::vector<std::string>& args,
                                          std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunAndRead(argv, {DisplayEnv()}, timeout);
}

std::optional<std::string> TXvfb::WaitForWindow(const std::string& titleRegex,
                                                std::chrono::milliseconds timeout) const {
  std::optional<std::string> found;
  WaitUntil(
      [&] {
        auto out = XDoTool({"search", "--onlyvisible", "--name", titleRegex}, std::chrono::seconds(5));
        if (out && !out->empty()) found = out->substr(0, out->find('\n'));
        return found.has_value();
      },
      timeout, std::chrono::milliseconds(100));
  return found;
}

bool TXvfb::HasWindow(const std::string& titleRegex) const {
  auto out = XDoTool({"search", "--onlyvisible", "--name", titleRegex}, std::chrono::seconds(5));
  return out && !out->empty();
}

bool TXvfb::PressKey(const std::string& window, const std::string& key) const {
  return XDoTool({"windowfocus", "--sync", window}).has_value() && XDoTool({"key", key}).has_value();
}

bool TXvfb::Click(const std::string& window, int x, int y) const {
  // No --sync: it would wait for ever when the pointer already stands there;
  // the server handles the move before the click all the same.
  return XDoTool({"mousemove", "--window", window, std::to_string(x), std::to_string(y)}).has_value() &&
         XDoTool({"click", "1"}).has_value();
}

bool TXvfb::RequestClose(const std::string& window) const {
  ::Display* display = XOpenDisplay(FDisplay.c_str());
  if (!display) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = static_cast<Window>(std::stoul(window));
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const Status sent = XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
  XFlush(display);
  XCloseDisplay(display);
  return sent != 0;
}

namespace {
// A connection to the display for one helper call, closed on the way out.
class TXConnection {
 public:
  explicit TXConnection(const std::string& display) : FDisplay(XOpenDisplay(display.c_str())) {}
  ~TXConnection() {
    if (FDisplay) XCloseDisplay(FDisplay);
  }
  TXConnection(const TXConnection&) = delete;
  TXConnection& operator=(const TXConnection&) = delete;
  ::Display* operator*() const { return FDisplay; }
  Atom operator()(const char* name) const { return XInternAtom(FDisplay, name, False); }

 private:
  ::Display* FDisplay;
};

bool SendClientMessage(::Display* d, Window to, Window about, Atom type, long mask, std::initializer_list<long> data) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = about;
  event.xclient.message_type = type;
  event.xclient.format = 32;
  int i = 0;
  for (const long value : data) event.xclient.data.l[i++] = value;
  const Status sent = XSendEvent(d, to, False, mask, &event);
  XFlush(d);
  return sent != 0;
}
}  // namespace

bool TXvfb::StartWindowManager() {
  if (FDisplay.empty()) return false;
  FWindowManager = std::make_unique<TChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"},
                                                   std::vector<std::string>{DisplayEnv()}, "/dev/null");
  TXConnection x(FDisplay);
  if (!*x) return false;
  const Atom check = x("_NET_SUPPORTING_WM_CHECK");
  bool managed = false;
  WaitUntil(
      [&] {
        Atom type = None;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const int got = XGetWindowProperty(*x, DefaultRootWindow(*x), check, 0, 1, False, XA_WINDOW, &type, &format,
                                           &items, &after, &data);
        if (data) XFree(data);
        managed = got == Success && items == 1;
        return managed || !FWindowManager->Running();
      },
      std::chrono::seconds(20), std::chrono::milliseconds(50));
  return managed;
}

bool TXvfb::RequestCloseThroughWindowManager(const std::string& window) const {
  TXConnection x(FDisplay);
  if (!*x) return false;
  // Source 2: a pager or task bar, the user's direct request.
  return SendClientMessage(*x, DefaultRootWindow(*x), static_cast<Window>(std::stoul(window)), x("_NET_CLOSE_WINDOW"),
                           SubstructureRedirectMask | SubstructureNotifyMask, {CurrentTime, 2});
}

bool TXvfb::Ping(const std::string& window, std::chrono::milliseconds timeout) const {
  TXConnection x(FDisplay);
  if (!*x) return false;
  const Window root = DefaultRootWindow(*x);
  const Window target = static_cast<Window>(std::stoul(window));
  // The answer goes to the root window, to those who listen there for
  // structure changes (as window managers do).
  XSelectInput(*x, root, StructureNotifyMask | SubstructureNotifyMask);
  static long stamp = 1000;
  const long mine = ++stamp;
  const Atom protocols = x("WM_PROTOCOLS"), ping = x("_NET_WM_PING");
  if (!SendClientMessage(*x, target, target, protocols, NoEventMask,
                         {static_cast<long>(ping), mine, static_cast<long>(target)}))
    return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    while (XPending(*x) > 0) {
      XEvent event;
      XNextEvent(*x, &event);
      if (event.type == ClientMessage && event.xclient.message_type == protocols &&
          static_cast<Atom>(event.xclient.data.l[0]) == ping && event.xclient.data.l[1] == mine)
        return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{ConnectionNumber(*x), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

bool TXvfb::Screenshot(const std::string& pngFile) const {
  TXConnection x(FDisplay);
  if (!*x) return false;
  const int screen = DefaultScreen(*x);
  const int width = DisplayWidth(*x, screen), height = DisplayHeight(*x, screen);
  XImage* image = XGetImage(*x, RootWindow(*x, screen), 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return false;
  bool saved = false;
  if (image->bits_per_pixel == 32)
    saved =
        QImage(reinterpret_cast<const uchar*>(image->data), width, height, image->bytes_per_line, QImage::Format_RGB32)
            .save(QString::fromStdString(pngFile), "PNG");
  XDestroyImage(image);
  return saved;
}

std::optional<std::pair<int, int>> TXvfb::WindowSize(const std::string& window) const {
  ::Display* display = XOpenDisplay(FDisplay.c_str());
  if (!display) return std::nullopt;
  XWindowAttributes attributes{};
  std::optional<std::pair<int, int>> size;
  if (XGetWindowAttributes(display, static_cast<Window>(std::stoul(window)), &attributes))
    size = std::make_pair(attributes.width, attributes.height);
  XCloseDisplay(display);
  return size;
}

QImage TXvfb::Grab(const std::string& window) const {
  TXConnection x(FDisplay);
  if (!*x) return {};
  const Window target = static_cast<Window>(std::stoul(window));
  XWindowAttributes attributes{};
  int left = 0, top = 0;
  Window child = 0;
  QImage picture;
  if (XGetWindowAttributes(*x, target, &attributes) &&
      XTranslateCoordinates(*x, target, DefaultRootWindow(*x), 0, 0, &left, &top, &child)) {
    // The screen's pixels where the window lies: what a user sees.
    if (XImage* image = XGetImage(*x, DefaultRootWindow(*x), left, top, static_cast<unsigned>(attributes.width),
                                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap)) {
      picture = QImage(attributes.width, attributes.height, QImage::Format_RGB32);
      for (int row = 0; row < attributes.height; ++row)
        for (int column = 0; column < attributes.width; ++column)
          picture.setPixel(column, row, static_cast<QRgb>(XGetPixel(image, column, row)) | 0xFF000000u);
      XDestroyImage(image);
    }
  }
  return picture;
}

bool TXvfb::Screenshot(const std::string& window, const std::string& pngFile) const {
  const QImage picture = Grab(window);
  return !picture.isNull() && picture.save(QString::fromStdString(pngFile), "PNG");
}
