#include "diag/U_VEK_SafeFree.h"

#include <atomic>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QObject>
#include <QVariant>

#include "base/Demangle.h"
#include "base/Exceptions.h"
#include "base/TextUtil.h"
#include "diag/U_VEK_RaiseError.h"
#include "runtime/QtText.h"

namespace {

// The dynamic property MarkBeingDestroyed sets.
constexpr const char* DestroyingProperty = "VEKBeingDestroyed";

// The GUI application object, remembered from its construction on: while it
// is destroyed, QCoreApplication::instance() is already null by the time its
// children go.
std::atomic<const QObject*> KnownApp{nullptr};

void RememberApp() {
  KnownApp.store(QCoreApplication::instance());
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(RememberApp)

void MarkBeingDestroyed(QObject* Obj) {
  if (Obj) Obj->setProperty(DestroyingProperty, true);
}

bool IsBeingDestroyed(const QObject* Obj) {
  if (!Obj) return false;
  if (Obj->property(DestroyingProperty).toBool()) return true;
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

bool VEKDescribeForFree(const QObject* Component, const std::type_info& Type, std::string& Description) {
  Description.clear();
  try {
    if (Component) {
      if (IsBeingDestroyed(Component)) return false;
      Description += FromQString(Component->objectName());
      Description += ": ";
      Description += Component->metaObject()->className();
    } else {
      Description += Demangle(Type.name());
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
  RaiseError("Error on destroying objet [" + (Description.empty() ? std::string(UnknownText) : Description) +
                 "] :\r\n\r\n" + message,
             false, smTerminate);
}
