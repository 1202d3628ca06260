#pragma once
// Typed values: TTypedValue, one element of an argument list that the
// procedure trace writes, and VarRecToText, its text.
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

#include "diag/U_VEK_ObjectInfos.h"

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
