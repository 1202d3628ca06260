#include "base/Exceptions.h"

#include <cxxabi.h>

#include <exception>
#include <system_error>
#include <typeinfo>

#include "base/Demangle.h"
#include "base/TextUtil.h"

void Abort() {
  throw EAbort();
}

std::string SysErrorMessage(int code) {
  return std::generic_category().message(code);
}

EInOutError FileError(TFileAction action, const std::string& fileName, int code) {
  return FileError(action, fileName, code, SysErrorMessage(code));
}

EInOutError FileError(TFileAction action, const std::string& fileName, int code, const std::string& reason) {
  const char* what = "Cannot open file";
  if (action == TFileAction::Create) what = "Cannot create file";
  if (action == TFileAction::Write) what = "Cannot write file";
  return EInOutError(std::string(what) + " \"" + fileName + "\". " + reason, code);
}

namespace {
// The first base class of a class type, or null.
const std::type_info* FirstBase(const std::type_info& type) {
  if (auto* single = dynamic_cast<const abi::__si_class_type_info*>(&type)) return single->__base_type;
  if (auto* multiple = dynamic_cast<const abi::__vmi_class_type_info*>(&type))
    if (multiple->__base_count > 0) return multiple->__base_info[0].__base_type;
  return nullptr;
}

template <class T>
std::string Number(T value) {
  return std::to_string(value);
}
}  // namespace

EUnknownException EUnknownException::FromCurrent() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  std::string thrownClass = type ? Demangle(type->name()) : std::string(UnknownText);
  const std::type_info* base = type ? FirstBase(*type) : nullptr;
  std::string thrownParent = base ? Demangle(base->name()) : std::string("<N/A>");
  std::string message = "Unknown exception";
  if (!std::current_exception())
    return EUnknownException(std::move(message), std::move(thrownClass), std::move(thrownParent));
  try {
    throw;
  } catch (const char* text) {
    if (text) message = text;
  } catch (const std::string& text) {
    message = text;
  } catch (int value) {
    message = Number(value);
  } catch (long value) {
    message = Number(value);
  } catch (long long value) {
    message = Number(value);
  } catch (unsigned value) {
    message = Number(value);
  } catch (unsigned long value) {
    message = Number(value);
  } catch (unsigned long long value) {
    message = Number(value);
  } catch (...) {
  }
  return EUnknownException(std::move(message), std::move(thrownClass), std::move(thrownParent));
}
