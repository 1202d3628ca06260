#include "diag/U_VEK_Global.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <system_error>

#include "platform/DirEnum.h"
#include "platform/Shell.h"
#include "runtime/Application.h"
#include "runtime/Demangle.h"
#include "runtime/MessageBox.h"
#include "runtime/Shutdown.h"

TRaiseErrorLogHook RaiseErrorLogHook = nullptr;
TShellExecuteProc ShellExecuteProc = &ShellExecute;
TFolderIgnoresCaseProc FolderIgnoresCaseProc = &FolderIgnoresCase;

namespace {

// The dynamic property MarkBeingDestroyed sets.
constexpr const char* kDestroyingProperty = "VEKBeingDestroyed";

// The GUI application object, remembered from its construction on: while it
// is destroyed, QCoreApplication::instance() is already null by the time its
// children go.
std::atomic<const QObject*> KnownApp{nullptr};

void RememberApp() {
  KnownApp.store(QCoreApplication::instance());
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(RememberApp)

// ---------------------------------------------------------------------------
// RaiseError

namespace {

// A box needs the GUI application object and the GUI thread.
bool CanShowBox() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && qobject_cast<const QApplication*>(app) && !QCoreApplication::closingDown() &&
         QThread::currentThread() == app->thread();
}

std::string AppTitle() {
  if (Application) return Application->Title();
  if (QCoreApplication::instance()) return FromQString(QCoreApplication::applicationName());
  return {};
}

}  // namespace

void RaiseError(const std::string& Msg, bool StopApplication, TVEKStopMode StopMode) {
  if (RaiseErrorLogHook) {
    try {
      RaiseErrorLogHook(Msg);
    } catch (...) {
      // The box below still tells the user.
    }
  }
  if (CanShowBox()) {
    if (Application) Application->BringToFront();
    TMessageBox::Show(Msg, AppTitle(), TMsgIcon::Error);
  } else {
    std::string line = AppTitle();
    if (!line.empty()) line += ": ";
    line += Msg;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  if (StopApplication) {
    switch (StopMode) {
      case smTerminate:
        if (Application)
          Application->Terminate();
        else
          QCoreApplication::exit(0);
        break;
      case smHalt:
        Halt(0);
    }
  }
  Abort();
}

// ---------------------------------------------------------------------------
// SafeFreeAndNil

void MarkBeingDestroyed(QObject* Obj) {
  if (Obj) Obj->setProperty(kDestroyingProperty, true);
}

bool IsBeingDestroyed(const QObject* Obj) {
  if (!Obj) return false;
  if (Obj->property(kDestroyingProperty).toBool()) return true;
  if (const QObject* app = QCoreApplication::instance(); app && !QCoreApplication::closingDown()) KnownApp.store(app);
  // The application object: closingDown() turns true as its destruction
  // begins. From then on its dynamic type falls back through the Qt
  // application classes to QObject; another object that later takes the
  // freed address is told apart by its own class.
  if (Obj == KnownApp.load() && QCoreApplication::closingDown()) {
    const QMetaObject* mo = Obj->metaObject();
    return mo == &QApplication::staticMetaObject || mo == &QGuiApplication::staticMetaObject ||
           mo == &QCoreApplication::staticMetaObject || mo == &QObject::staticMetaObject;
  }
  return false;
}

std::string VEKClassName(const std::type_info& Type) {
  return Demangle(Type.name());
}

bool VEKDescribeForFree(const QObject* Component, const std::type_info& Type, std::string& Description) {
  Description.clear();
  try {
    if (Component) {
      if (IsBeingDestroyed(Component)) return false;
      Description += FromQString(Component->objectName());
      Description += ": ";
      Description += Component->metaObject()->className();
    } else {
      Description += VEKClassName(Type);
    }
  } catch (...) {
    // Keep what was built so far.
  }
  return true;
}

void VEKRaiseDestroyError(const std::string& Description) {
  std::string message;
  try {
    throw;
  } catch (const Exception& e) {
    message = e.Message();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown error";
  }
  RaiseError("Error on destroying objet [" + (Description.empty() ? std::string("<Unknown>") : Description) +
                 "] :\r\n\r\n" + message,
             false, smTerminate);
}

// ---------------------------------------------------------------------------
// ExecuteFile

std::string ShellErrorText(int Result) {
  switch (Result) {
    case 0:
      return "Not enough memory or system ressources";
    case 2:
      return "File not found";
    case 3:
      return "Path not found";
    case 5:
      return "Access denied";
    case 8:
      return "Not enough memory";
    case 11:
      return "Invalid file";
    case 26:
      return "Share violation";
    case 27:
      return "Bad file association";
    case 31:
      return "No association found";
    case 32:
      return "File not found";
    default:
      return std::to_string(Result);
  }
}

int ExecuteFile(const std::string& FileName, TVEKShellVerb Verb, const std::string& Params,
                const std::string& Directory, std::uint16_t ShowCmd) {
  // A verb outside the table gets the default action.
  const char* verb = Verb < std::size(VEKShellVerbs) ? VEKShellVerbs[Verb] : VEKShellVerbs[svDefault];
  const int result = ShellExecuteProc(verb, FileName, Params, Directory, ShowCmd);
  if (result > 32) return result;

  const std::size_t split = FileName.find_last_of("\\:");
  const std::string name = split == std::string::npos ? FileName : FileName.substr(split + 1);
  const std::string folder = split == std::string::npos ? std::string() : FileName.substr(0, split + 1);
  RaiseError("Error on executing :\r\n\r\n   File : " + name + "\r\n" + "   Params : " + Params + "\r\n" +
                 "   Path : " + folder + "\r\n\r\n" + "   Message : " + ShellErrorText(result),
             false, smTerminate);
}

// ---------------------------------------------------------------------------
// IndentText

std::string IndentText(const std::string& S, int FirstIndent, int NextIndent, char FillChar) {
  const std::size_t first = FirstIndent > 0 ? static_cast<std::size_t>(FirstIndent) : 0;
  const std::size_t next = NextIndent > 0 ? static_cast<std::size_t>(NextIndent) : 0;
  std::string result(first, FillChar);
  result.reserve(first + S.size());
  for (std::size_t i = 0; i < S.size(); ++i) {
    result += S[i];
    if (S[i] == '\n' && i > 0 && S[i - 1] == '\r') result.append(next, FillChar);
  }
  return result;
}

// ---------------------------------------------------------------------------
// CreateEmptyFile

void CreateEmptyFile(const std::string& FileName) {
  auto fail = [&FileName](int err) {
    throw EInOutError("Cannot create file \"" + FileName + "\". " + std::generic_category().message(err), err);
  };
  std::FILE* f = std::fopen(FileName.c_str(), "wb");
  if (!f) fail(errno);
  if (std::fclose(f) != 0) fail(errno);
}

// ---------------------------------------------------------------------------
// ExpandLongPath

namespace {

bool SameTextAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The stored name of `component` in `folder`, or empty when there is none.
// The component is used as the search mask, but only names equal to it
// count (without regard to case only where the folder ignores case): a "*"
// or "?" in it stands for itself.
std::string FindStoredName(const std::string& folder, const std::string& component) {
  TDirEnum search(folder, component, faAnyFile);
  TDirEntry entry;
  std::string found;
  bool ignoresCase = false, asked = false;
  while (search.Next(entry)) {
    if (entry.Name == component) return entry.Name;
    if (found.empty() && SameTextAscii(entry.Name, component)) {
      if (!asked) {
        ignoresCase = FolderIgnoresCaseProc && FolderIgnoresCaseProc(folder);
        asked = true;
      }
      if (ignoresCase) found = entry.Name;
    }
  }
  return found;
}

}  // namespace

std::string ExpandLongPath(const std::string& Path) {
  std::string result;
  char sep;
  std::size_t pos;
  if (!Path.empty() && Path[0] == '/') {
    sep = '/';
    result = "/";
    pos = 1;
  } else if (Path.size() >= 3 && std::isalpha(static_cast<unsigned char>(Path[0])) && Path[1] == ':' &&
             Path[2] == '\\') {
    sep = '\\';
    result = Path.substr(0, 3);
    pos = 3;
  } else {
    return Path;
  }
  while (pos < Path.size()) {
    std::size_t end = Path.find(sep, pos);
    if (end == std::string::npos) end = Path.size();
    const std::string component = Path.substr(pos, end - pos);
    if (!component.empty()) {
      const std::string name = FindStoredName(result, component);
      if (name.empty()) return result + Path.substr(pos);
      result += name;
      result += sep;
    }
    pos = end + 1;
  }
  if (result.size() > 1 && result.back() == sep) result.pop_back();
  return result;
}
