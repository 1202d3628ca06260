#pragma once
// The release of owned objects, SafeFreeAndNil, and the mark of a QObject
// that is being destroyed, which keeps it from being freed twice.
//
// GUI thread only.
#include <string>
#include <type_traits>
#include <typeinfo>

#include <QObject>

// Releases the object a variable holds and sets the variable to null first.
// A destructor that throws (one declared noexcept(false)) is reported
// through RaiseError (diag/U_VEK_RaiseError.h) with
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

// The description SafeFreeAndNil puts in brackets: for a QObject (Component
// not null) its name, ": " and its meta-object class name, else the class
// name of `Type`. Returns false, leaving Description empty, when the QObject
// is being destroyed. An error while building it is swallowed and leaves the
// description as far as it got.
bool VEKDescribeForFree(const QObject* Component, const std::type_info& Type, std::string& Description);

// Raises the error of a failed destruction (see SafeFreeAndNil). Call only
// from inside a catch handler.
[[noreturn]] void VEKRaiseDestroyError(const std::string& Description);

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
