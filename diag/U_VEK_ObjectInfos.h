#pragma once
// Object description: TVEKObjectInfos, the name, class, parent class, class
// chain and owners of one object, for the library's reports.
//
// A component is a QObject: its name is objectName(), its owner parent(), its
// class chain comes from its QMetaObject up to QObject, the root class, headed
// by the name its C++ type information gives when its class has no
// meta-object of its own (no Q_OBJECT: "TfmDemo > QWidget > QObject"). Any
// other polymorphic object (an exception above all) is described from its
// dynamic type's C++ type information, demangled; where a class has several
// bases, the first one is its parent, and a class without bases is a root
// class ("EConvertError > Exception > std::exception").
//
// GUI thread only.
#include <concepts>
#include <cstddef>
#include <string>
#include <type_traits>
#include <typeinfo>

#include <QObject>

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

// A class reference: a Qt class (its meta-object) or a C++ type; none when
// both are null.
struct TClassRef {
  const QMetaObject* Meta = nullptr;
  const std::type_info* Type = nullptr;
};

// The readable name of a type: demangled where the compiler mangles names.
std::string VEKClassName(const std::type_info& Type);
// The name of a class reference: its meta-object's class name or its type's
// readable name; empty for none.
std::string VEKClassName(const TClassRef& Class);

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
