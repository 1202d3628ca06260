#pragma once
// Small routines shared by the whole diagnostics library and the wizard:
// the library's error stop (RaiseError), the release of owned objects
// (SafeFreeAndNil), handing a document to the desktop (ExecuteFile),
// indenting continuation lines (IndentText), CreateEmptyFile and
// ExpandLongPath. The description of objects (TVEKObjectInfos) and of typed
// argument values (VarRecToText) for the library's reports.
//
// All routines run on the GUI thread.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <variant>

#include <QObject>
#include <QString>
#include <QVariant>

#include "runtime/Exceptions.h"

// How RaiseError stops the application when asked to.
enum TVEKStopMode : std::uint8_t {
  smTerminate = 0,  // ask the GUI application to end after the current event
  smHalt = 1,       // end the process at once (exit code 0), after the shut-down
};

// Index into VEKShellVerbs.
enum TVEKShellVerb : std::uint8_t {
  svDefault = 0,  // no verb: the desktop's default action for the document
  svOpen = 1,     // "open"
};

// The shell verbs; svDefault's entry is the empty text (no verb).
inline constexpr const char* VEKShellVerbs[] = {"", "open"};

// ---------------------------------------------------------------------------
// RaiseError: the library's error stop.
//
// 1. Hands Msg to RaiseErrorLogHook, when set (the log file's entry at level
//    "ERROR ", without a save request).
// 2. Brings the application to the foreground.
// 3. Shows a modal box: text Msg, the application's title as caption, error
//    icon, OK button.
// 4. When StopApplication: smTerminate asks the application to terminate
//    once the current event has been handled; smHalt ends the process at
//    once with exit code 0, running the units' shut-down.
// 5. Raises the silent abort (EAbort), in every case.
//
// Without a GUI application object, or off the GUI thread, no box can be
// shown: the text goes to stderr instead (steps 1, 4 and 5 stay the same).
[[noreturn]] void RaiseError(const std::string& Msg, bool StopApplication, TVEKStopMode StopMode);

// The log entry of RaiseError. Set by the log file once it exists; null
// until then. Whatever it throws is swallowed: a log that cannot be written
// must not hide the error box.
using TRaiseErrorLogHook = void (*)(const std::string& Msg);
extern TRaiseErrorLogHook RaiseErrorLogHook;

// ---------------------------------------------------------------------------
// SafeFreeAndNil: releases the object a variable holds and sets the variable
// to null first. A destructor that throws (one declared noexcept(false)) is
// reported through RaiseError with
//   "Error on destroying objet [<description>] :\r\n\r\n<message>"
// (StopApplication false), whose silent abort then leaves SafeFreeAndNil;
// the object counts as freed and the variable is null. The description is
// "<objectName()>: <class name>" for a QObject and the class name alone for
// any other object ("<Unknown>" if it could not be built). A QObject's
// destructor is always noexcept (QObject's own is), so only other objects
// can fail this way; the message is Exception::Message(), what() of any
// other std::exception, or "Unknown error".
//
// A QObject that is already being destroyed (see IsBeingDestroyed) is left
// alone: the variable keeps its reference and nothing is freed.
template <class T>
void SafeFreeAndNil(T*& Obj);

// Marks a QObject as being destroyed. Destructors of the library's QObject
// classes call it first thing, so that a SafeFreeAndNil reached from their
// destruction does not free the object a second time. The mark lives in the
// object (a dynamic property) and goes with it.
void MarkBeingDestroyed(QObject* Obj);

// True when `Obj` carries the mark of MarkBeingDestroyed, or when it is the
// GUI application object and that object's destruction has begun.
bool IsBeingDestroyed(const QObject* Obj);

// The readable name of a type: demangled where the compiler mangles names.
std::string VEKClassName(const std::type_info& Type);

// The description SafeFreeAndNil puts in brackets: for a QObject (Component
// not null) its name, ": " and its meta-object class name, else the class
// name of `Type`. Returns false, leaving Description empty, when the QObject
// is being destroyed. An error while building it is swallowed and leaves the
// description as far as it got.
bool VEKDescribeForFree(const QObject* Component, const std::type_info& Type, std::string& Description);

// Raises the error of a failed destruction (see SafeFreeAndNil). Call only
// from inside a catch handler.
[[noreturn]] void VEKRaiseDestroyError(const std::string& Description);

// ---------------------------------------------------------------------------
// ExecuteFile: hands FileName (a path or a URL) to the desktop with the
// verb's action. Returns the shell's result (a value above 32) on success.
// On failure it calls RaiseError (StopApplication false) with a text naming
// the file, the parameters, the folder and the reason, so it never returns.
// The file-name part is everything after the last "\" or ":" of FileName,
// the folder part everything up to and including it (so a URL splits at its
// last colon). ShowCmd is the show-window command of the original platform.
int ExecuteFile(const std::string& FileName, TVEKShellVerb Verb, const std::string& Params,
                const std::string& Directory, std::uint16_t ShowCmd);

// The shell call ExecuteFile makes: ShellExecute of platform/Shell.h. Tests
// put a stand-in here.
using TShellExecuteProc = int (*)(const std::string& Verb, const std::string& File, const std::string& Params,
                                  const std::string& Directory, int ShowCmd);
extern TShellExecuteProc ShellExecuteProc;

// The reason ExecuteFile shows for a shell result up to 32.
std::string ShellErrorText(int Result);

// ---------------------------------------------------------------------------
// IndentText: puts FirstIndent copies of FillChar in front of S and
// NextIndent copies after every CR LF pair in it. A lone CR or LF is no line
// break; a zero or negative count gives no fill characters.
std::string IndentText(const std::string& S, int FirstIndent, int NextIndent, char FillChar);

// CreateEmptyFile: creates FileName with length zero, replacing an existing
// file's content. Raises EInOutError ("Cannot create file "<name>". <reason>")
// when that fails.
void CreateEmptyFile(const std::string& FileName);

// ExpandLongPath: spells every component of a full path as the file system
// stores it. A POSIX path ("/...") is looked up component by component in
// its folder; a drive-letter path ("C:\...") the same way with "\" as the
// separator. A component is taken as it is spelt when the folder holds it
// so; a name that differs only in letter case is taken only where the folder
// does not tell case apart (FolderIgnoresCaseProc), since elsewhere it is
// another file. Empty components (doubled or trailing separators) are
// dropped. From the first component that cannot be found on, the path stays
// as it was given. Any other path is returned unchanged. The result has no
// trailing separator (except for the root "/" itself).
std::string ExpandLongPath(const std::string& Path);

// Whether a folder looks names up without regard to case: FolderIgnoresCase
// of platform/DirEnum.h. Tests put a stand-in here.
using TFolderIgnoresCaseProc = bool (*)(const std::string& Folder);
extern TFolderIgnoresCaseProc FolderIgnoresCaseProc;

// ---------------------------------------------------------------------------

template <class T>
void SafeFreeAndNil(T*& Obj) {
  static_assert(sizeof(T) > 0, "SafeFreeAndNil needs the complete type");
  if (!Obj) return;
  using TPlain = std::remove_cv_t<T>;
  TPlain* obj = const_cast<TPlain*>(Obj);
  std::string description;
  try {
    const QObject* component = nullptr;
    const std::type_info* type = &typeid(TPlain);
    if constexpr (std::is_polymorphic_v<TPlain>) {
      component = dynamic_cast<const QObject*>(obj);
      type = &typeid(*obj);
    }
    if (!VEKDescribeForFree(component, *type, description)) return;
  } catch (...) {
    // The description stays as far as it got.
  }
  Obj = nullptr;
  try {
    delete obj;
  } catch (...) {
    VEKRaiseDestroyError(description);
  }
}

// ---------------------------------------------------------------------------
// Object description: TVEKObjectInfos.
//
// A component is a QObject: its name is objectName(), its owner parent(), its
// class chain comes from its QMetaObject up to QObject, the root class, headed
// by the name its C++ type information gives when its class has no
// meta-object of its own (no Q_OBJECT: "TfmDemo > QWidget > QObject"). Any
// other polymorphic object (an exception above all) is described from its
// dynamic type's C++ type information, demangled; where a class has several
// bases, the first one is its parent, and a class without bases is a root
// class ("EConvertError > Exception > std::exception").

// Classes with run-time type information: those TVEKObjectInfos can describe.
template <class T>
concept VEKPolymorphic = std::is_polymorphic_v<T>;

// The object TVEKObjectInfos describes, not owned: made implicitly from a
// pointer or reference to a QObject (of any class), or to any other
// polymorphic object, or from nullptr (none). A polymorphic object that is
// also a QObject through another of its bases counts as a component.
class TVEKObjectRef {
 public:
  TVEKObjectRef() = default;
  TVEKObjectRef(std::nullptr_t) {}
  template <VEKPolymorphic T>
  TVEKObjectRef(const T* Obj);
  template <VEKPolymorphic T>
  TVEKObjectRef(const T& Obj) : TVEKObjectRef(&Obj) {}

  bool IsNone() const { return !Object; }
  friend bool operator==(const TVEKObjectRef&, const TVEKObjectRef&) = default;

  // The object as it was given (null for none); for a polymorphic object
  // given as such, the start of its most-derived object.
  const void* Object = nullptr;
  // The component, or null when the object is none or no QObject.
  const QObject* Component = nullptr;
  // The dynamic type of an object given as a polymorphic object; null for
  // none and for an object given as a QObject.
  const std::type_info* Type = nullptr;
};

// Describes one object; holds the results of its last Analyze and nothing
// else. Every text is "<N/A>" until Analyze fills it. GUI thread only.
class TVEKObjectInfos {
 public:
  TVEKObjectInfos() = default;

  // Fills every field for Obj; never throws. Texts:
  //   ObjectName  the component's name, "<Unknown>" when it is empty, "<N/A>"
  //               for an object that is no component;
  //   ObjectClass its class name;
  //   ParentClass its parent class's name, "<N/A>" for a root class;
  //   Summary     "<ObjectName>: <ObjectClass> ( <ParentClass> )";
  //   Hierarchy   "<class> > <parent> > ... > <root class>", "<N/A>" for a
  //               root class;
  //   Owners      "<name>: <class> ( <parent class> )" for the direct owner,
  //               then " -> " and the same for each further owner up to the
  //               top one; names as they are (an empty one stays empty), and
  //               "<N/A>" as the parent class of an owner of the root class
  //               QObject. "<N/A>" without an owner.
  // A failure on the way leaves the fields filled so far; Summary is made
  // last in every case.
  //
  // A component that is being destroyed is described as it stands at that
  // moment: its name and owners are QObject's own data, which live until
  // ~QObject returns, and its meta-object is the one of the class whose
  // destructor runs (a button whose ~QPushButton has finished reads as a
  // QAbstractButton, then QWidget, finally QObject). Nothing of a destroyed
  // subclass is touched.
  void Analyze(TVEKObjectRef Obj) noexcept;

  // The Summary of Obj, through a temporary instance; never throws.
  static std::string DescribeObject(TVEKObjectRef Obj) noexcept;

  TVEKObjectRef Instance;  // the object last analysed
  std::string ObjectName = "<N/A>";
  std::string ObjectClass = "<N/A>";
  std::string ParentClass = "<N/A>";
  std::string Summary = "<N/A>";
  std::string Hierarchy = "<N/A>";
  std::string Owners = "<N/A>";
};

// ---------------------------------------------------------------------------
// Typed values: VarRecToText.

// A short string: a length byte and up to 255 characters; a longer text is
// cut after its 255th byte.
class TShortString {
 public:
  TShortString() = default;
  explicit TShortString(std::string_view Text);
  std::string_view View() const { return {FChars, FLength}; }

 private:
  std::uint8_t FLength = 0;
  char FChars[255] = {};
};

// A currency amount: a 64-bit integer counting ten-thousandths.
class TCurrency {
 public:
  static constexpr std::int64_t Scale = 10000;
  constexpr TCurrency() = default;
  static constexpr TCurrency FromScaled(std::int64_t Scaled) {
    TCurrency c;
    c.FScaled = Scaled;
    return c;
  }
  constexpr std::int64_t Scaled() const { return FScaled; }

 private:
  std::int64_t FScaled = 0;
};

// An interface reference: an object seen through an abstract class.
class TInterfaceRef {
 public:
  TInterfaceRef() = default;
  template <class I>
  requires std::is_abstract_v<I>
  explicit TInterfaceRef(const I* Intf) : FObject(Intf) {}
  const void* Object() const { return FObject; }

 private:
  const void* FObject = nullptr;
};

// A class reference: a Qt class (its meta-object) or a C++ type; none when
// both are null.
struct TClassRef {
  const QMetaObject* Meta = nullptr;
  const std::type_info* Type = nullptr;
};

// The kinds of TTypedValue; each number is also the kind's index in
// TTypedValue::TValue.
enum TValueKind : std::uint8_t {
  vkInteger = 0,       // std::int32_t, and smaller integers
  vkBoolean = 1,       // bool
  vkChar = 2,          // char
  vkFloat = 3,         // double (float and long double become one)
  vkShortString = 4,   // TShortString
  vkPointer = 5,       // any pointer that is none of the kinds below
  vkCharPtr = 6,       // const char*: a zero-terminated 8-bit string
  vkObject = 7,        // a pointer to a QObject of any class
  vkClass = 8,         // TClassRef, const QMetaObject*, const std::type_info&
  vkWideChar = 9,      // char16_t
  vkWideCharPtr = 10,  // const char16_t*: a zero-terminated 16-bit string
  vkString = 11,       // std::string (and std::string_view)
  vkCurrency = 12,     // TCurrency
  vkVariant = 13,      // QVariant
  vkInterface = 14,    // TInterfaceRef
  vkWideString = 15,   // std::u16string, QString
  vkInt64 = 16,        // std::int64_t, unsigned int and the 64-bit integers
};

// Integer types that stand for numbers: not bool, not a character type.
template <class T>
concept VEKIntegerNumber =
    std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char8_t> &&
    !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;
template <class T>
concept VEKEnumeration = std::is_enum_v<T>;

// One element of an argument list: a kind and a value, made implicitly from
// what a traced procedure passes:
//   std::vector<TTypedValue>{42, std::string("abc"), this}
// A string literal is a vkCharPtr. Texts and variants are copied; pointers
// are kept as they are and must stay valid while the value is used.
// Unsigned 64-bit values above the largest std::int64_t wrap to negatives.
class TTypedValue {
 public:
  using TValue = std::variant<std::int32_t, bool, char, double, TShortString, const void*, const char*, const QObject*,
                              TClassRef, char16_t, const char16_t*, std::string, TCurrency, QVariant, TInterfaceRef,
                              std::u16string, std::int64_t>;

  TTypedValue(bool V) : FValue(std::in_place_index<vkBoolean>, V) {}
  TTypedValue(char V) : FValue(std::in_place_index<vkChar>, V) {}
  template <VEKIntegerNumber T>
  TTypedValue(T V) : FValue(FromInteger(V)) {}
  template <VEKEnumeration T>
  TTypedValue(T V) : TTypedValue(static_cast<std::underlying_type_t<T>>(V)) {}
  template <std::floating_point T>
  TTypedValue(T V) : FValue(std::in_place_index<vkFloat>, static_cast<double>(V)) {}
  TTypedValue(const TShortString& V) : FValue(std::in_place_index<vkShortString>, V) {}
  TTypedValue(std::nullptr_t) : FValue(std::in_place_index<vkPointer>, nullptr) {}
  template <class T>
  TTypedValue(const T* V) : FValue(FromPointer(V)) {}
  TTypedValue(const char* V) : FValue(std::in_place_index<vkCharPtr>, V) {}
  TTypedValue(TClassRef V) : FValue(std::in_place_index<vkClass>, V) {}
  TTypedValue(const QMetaObject* V) : FValue(std::in_place_index<vkClass>, TClassRef{V, nullptr}) {}
  TTypedValue(const QMetaObject& V) : TTypedValue(&V) {}
  TTypedValue(const std::type_info* V) : FValue(std::in_place_index<vkClass>, TClassRef{nullptr, V}) {}
  TTypedValue(const std::type_info& V) : TTypedValue(&V) {}
  TTypedValue(char16_t V) : FValue(std::in_place_index<vkWideChar>, V) {}
  TTypedValue(const char16_t* V) : FValue(std::in_place_index<vkWideCharPtr>, V) {}
  TTypedValue(std::string V) : FValue(std::in_place_index<vkString>, std::move(V)) {}
  TTypedValue(std::string_view V) : FValue(std::in_place_index<vkString>, V) {}
  TTypedValue(TCurrency V) : FValue(std::in_place_index<vkCurrency>, V) {}
  TTypedValue(const QVariant& V) : FValue(std::in_place_index<vkVariant>, V) {}
  TTypedValue(TInterfaceRef V) : FValue(std::in_place_index<vkInterface>, V) {}
  TTypedValue(std::u16string V) : FValue(std::in_place_index<vkWideString>, std::move(V)) {}
  TTypedValue(const QString& V) : FValue(std::in_place_index<vkWideString>, V.toStdU16String()) {}
  // 32-bit and UTF-8 characters have no kind of their own: convert them first.
  TTypedValue(char32_t) = delete;
  TTypedValue(wchar_t) = delete;
  TTypedValue(char8_t) = delete;

  TValueKind Kind() const { return static_cast<TValueKind>(FValue.index()); }
  const TValue& Value() const { return FValue; }

 private:
  template <class T>
  static TValue FromInteger(T V) {
    if constexpr (sizeof(T) < sizeof(std::int32_t) || (sizeof(T) == sizeof(std::int32_t) && std::is_signed_v<T>))
      return TValue(std::in_place_index<vkInteger>, static_cast<std::int32_t>(V));
    else
      return TValue(std::in_place_index<vkInt64>, static_cast<std::int64_t>(V));
  }
  template <class T>
  static TValue FromPointer(const T* V) {
    if constexpr (std::derived_from<T, QObject>)
      return TValue(std::in_place_index<vkObject>, static_cast<const QObject*>(V));
    else
      return TValue(std::in_place_index<vkPointer>, static_cast<const void*>(V));
  }

  TValue FValue;
};
static_assert(std::variant_size_v<TTypedValue::TValue> == vkInt64 + 1);

// The text of one typed value:
//   vkInteger, vkInt64   decimal, "-" for negatives
//   vkBoolean            "True" or "False"
//   vkChar, vkWideChar   the character, quoted
//   vkFloat              general format, at most 15 significant digits, the
//                        user's decimal separator (FloatText)
//   vkShortString, vkString, vkWideString, vkCharPtr, vkWideCharPtr
//                        the whole string, quoted
//   vkPointer            "0x" and the address as 16 upper-case hexadecimal digits
//   vkObject             TVEKObjectInfos::DescribeObject of the object
//   vkClass              "CLASS of " and the class name
//   vkCurrency           the amount as a decimal number in the user's locale
//   vkVariant            "VARIANT" (the content is not shown)
//   vkInterface          "INTERFACE"
// Quoting puts a single quote before and after and doubles every single
// quote inside: it's -> 'it''s'. 16-bit text becomes UTF-8. A null pointer
// of kinds vkCharPtr, vkObject, vkClass and vkWideCharPtr gives "NULL". A
// pointer to anything but a live object or a terminated string is the
// caller's fault: it is read as it is.
std::string VarRecToText(const TTypedValue& V);

template <VEKPolymorphic T>
TVEKObjectRef::TVEKObjectRef(const T* Obj) {
  if (!Obj) return;
  if constexpr (std::derived_from<T, QObject>) {
    Component = Obj;
    Object = Component;
  } else {
    Object = dynamic_cast<const void*>(Obj);
    Type = &typeid(*Obj);
    Component = dynamic_cast<const QObject*>(Obj);
  }
}
