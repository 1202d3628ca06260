#include "diag/U_VEK_Global.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>
#include <QVariant>

#include "platform/DirEnum.h"
#include "platform/Shell.h"
#include "runtime/Application.h"
#include "runtime/Demangle.h"
#include "runtime/LocaleText.h"
#include "runtime/MessageBox.h"
#include "runtime/Shutdown.h"
#include "runtime/TextUtil.h"
#include "runtime/Utf8.h"

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
  std::FILE* f = std::fopen(FileName.c_str(), "wb");
  if (!f) throw FileError(TFileAction::Create, FileName, errno);
  if (std::fclose(f) != 0) throw FileError(TFileAction::Create, FileName, errno);
}

// ---------------------------------------------------------------------------
// ExpandLongPath

namespace {

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

// ---------------------------------------------------------------------------
// TVEKObjectInfos

namespace {

constexpr const char* NotApplicable = "<N/A>";
constexpr const char* UnknownText = "<Unknown>";
// Class and owner chains are walked this far at most; a longer one can only
// come from damaged memory.
constexpr int MaxChain = 256;

bool IsNone(const TClassRef& C) {
  return !C.Meta && !C.Type;
}

std::string ClassName(const TClassRef& C) {
  if (C.Meta) return C.Meta->className();
  if (C.Type) return VEKClassName(*C.Type);
  return {};
}

// The parent class: a meta-object's super class; the first base of a C++
// class. None for a root class.
TClassRef ParentOf(const TClassRef& C) {
  if (C.Meta) return {C.Meta->superClass(), nullptr};
  if (!C.Type) return {};
  if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(C.Type))
    return {nullptr, single->__base_type};
  if (const auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(C.Type);
      multiple && multiple->__base_count > 0)
    return {nullptr, multiple->__base_info[0].__base_type};
  return {};
}

// A component's class name and its parent class. Qt's metaObject() reads
// only QObject's own data and the meta-objects, which are static, and the
// C++ type information of an object whose destructor runs is that of the
// class being destroyed: both are safe at every stage of the destruction. A
// class without a meta-object of its own (no Q_OBJECT) has the name its type
// information gives, and its nearest meta-class as its parent.
struct TComponentClass {
  std::string Name;
  TClassRef Parent;
};
TComponentClass ClassOf(const QObject* Component) {
  const QMetaObject* meta = Component->metaObject();
  std::string name = VEKClassName(typeid(*Component));
  if (name != meta->className()) return {std::move(name), {meta, nullptr}};
  return {std::move(name), {meta->superClass(), nullptr}};
}

std::string ClassNameOrNone(const TClassRef& C) {
  return IsNone(C) ? std::string(NotApplicable) : ClassName(C);
}

std::string SummaryText(const std::string& Name, const std::string& Class, const std::string& Parent) {
  return Name + ": " + Class + " ( " + Parent + " )";
}

}  // namespace

void TVEKObjectInfos::Analyze(TVEKObjectRef Obj) noexcept {
  try {
    ObjectName = NotApplicable;
    ObjectClass = NotApplicable;
    ParentClass = NotApplicable;
    Hierarchy = NotApplicable;
    Owners = NotApplicable;
    Summary = NotApplicable;
    Instance = Obj;
    if (!Obj.IsNone()) {
      try {
        TClassRef current;
        if (Obj.Component) {
          TComponentClass objClass = ClassOf(Obj.Component);
          ObjectClass = std::move(objClass.Name);
          current = objClass.Parent;
        } else {
          ObjectClass = ClassName({nullptr, Obj.Type});
          current = ParentOf({nullptr, Obj.Type});
        }

        if (Obj.Component) {
          const QString name = Obj.Component->objectName();
          ObjectName = name.isEmpty() ? std::string(UnknownText) : FromQString(name);
          std::string owners;
          int depth = 0;
          for (const QObject* owner = Obj.Component->parent(); owner && depth < MaxChain;
               owner = owner->parent(), ++depth) {
            const TComponentClass ownerClass = ClassOf(owner);
            if (depth > 0) owners += " -> ";
            owners +=
                SummaryText(FromQString(owner->objectName()), ownerClass.Name, ClassNameOrNone(ownerClass.Parent));
            Owners = owners;
          }
        }

        if (!IsNone(current)) {
          ParentClass = ClassName(current);
          std::string chain = ObjectClass + " > " + ParentClass;
          current = ParentOf(current);
          for (int depth = 0; !IsNone(current) && depth < MaxChain; current = ParentOf(current), ++depth) {
            chain += " > ";
            chain += ClassName(current);
          }
          Hierarchy = chain;
        }
      } catch (...) {
        // The fields keep what was filled so far.
      }
    }
    Summary = SummaryText(ObjectName, ObjectClass, ParentClass);
  } catch (...) {
    // Analyze never throws.
  }
}

std::string TVEKObjectInfos::DescribeObject(TVEKObjectRef Obj) noexcept {
  try {
    TVEKObjectInfos infos;
    infos.Analyze(Obj);
    return std::move(infos.Summary);
  } catch (...) {
    return {};
  }
}

// ---------------------------------------------------------------------------
// VarRecToText

TShortString::TShortString(std::string_view Text) {
  FLength = static_cast<std::uint8_t>(std::min<std::size_t>(Text.size(), sizeof FChars));
  std::copy_n(Text.data(), FLength, FChars);
}

namespace {

constexpr const char* NullText = "NULL";

std::string Quoted(std::string_view S) {
  std::string result;
  result.reserve(S.size() + 2);
  result += '\'';
  for (const char c : S) {
    if (c == '\'') result += '\'';
    result += c;
  }
  result += '\'';
  return result;
}

std::string PointerText(const void* P) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(P)));
  return text;
}

}  // namespace

std::string VarRecToText(const TTypedValue& V) {
  const TTypedValue::TValue& value = V.Value();
  switch (V.Kind()) {
    case vkInteger:
      return std::to_string(std::get<vkInteger>(value));
    case vkBoolean:
      return std::get<vkBoolean>(value) ? "True" : "False";
    case vkChar:
      return Quoted(std::string_view(&std::get<vkChar>(value), 1));
    case vkFloat:
      return FloatText(std::get<vkFloat>(value));
    case vkShortString:
      return Quoted(std::get<vkShortString>(value).View());
    case vkPointer:
      return PointerText(std::get<vkPointer>(value));
    case vkCharPtr: {
      const char* s = std::get<vkCharPtr>(value);
      return s ? Quoted(s) : NullText;
    }
    case vkObject: {
      const QObject* obj = std::get<vkObject>(value);
      return obj ? TVEKObjectInfos::DescribeObject(obj) : NullText;
    }
    case vkClass: {
      const TClassRef& c = std::get<vkClass>(value);
      return IsNone(c) ? NullText : "CLASS of " + ClassName(c);
    }
    case vkWideChar:
      return Quoted(Utf8FromUtf16(std::u16string_view(&std::get<vkWideChar>(value), 1)));
    case vkWideCharPtr: {
      const char16_t* s = std::get<vkWideCharPtr>(value);
      return s ? Quoted(Utf8FromUtf16(s)) : NullText;
    }
    case vkString:
      return Quoted(std::get<vkString>(value));
    case vkCurrency:
      return FixedPointText(std::get<vkCurrency>(value).Scaled(), 4);
    case vkVariant:
      return "VARIANT";
    case vkInterface:
      return "INTERFACE";
    case vkWideString:
      return Quoted(Utf8FromUtf16(std::get<vkWideString>(value)));
    case vkInt64:
      return std::to_string(std::get<vkInt64>(value));
  }
  return {};
}
