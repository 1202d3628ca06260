#include "diag/U_VEK_ObjectInfos.h"

#include <cxxabi.h>

#include <QString>

#include "base/Demangle.h"
#include "base/TextUtil.h"
#include "runtime/QtText.h"

std::string VEKClassName(const std::type_info& Type) {
  return Demangle(Type.name());
}

std::string VEKClassName(const TClassRef& Class) {
  if (Class.Meta) return Class.Meta->className();
  if (Class.Type) return VEKClassName(*Class.Type);
  return {};
}

namespace {

constexpr const char* NotApplicable = "<N/A>";
// Class and owner chains are walked this far at most; a longer one can only
// come from damaged memory.
constexpr int MaxChain = 256;

bool IsNone(const TClassRef& C) {
  return !C.Meta && !C.Type;
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
  return IsNone(C) ? std::string(NotApplicable) : VEKClassName(C);
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
          ObjectClass = VEKClassName({nullptr, Obj.Type});
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
          ParentClass = VEKClassName(current);
          std::string chain = ObjectClass + " > " + ParentClass;
          current = ParentOf(current);
          for (int depth = 0; !IsNone(current) && depth < MaxChain; current = ParentOf(current), ++depth) {
            chain += " > ";
            chain += VEKClassName(current);
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
