// Values exchanged with hosts: a small model of OLE Automation variants and one-dimensional safe
// arrays. Only the kinds the driver ever sees are modelled; anything else is "Unsupported" and
// refuses conversion, exactly like an interface pointer would on the original platform.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace qmb {

// Raised when a value cannot take part in an operation (null or array to text, bad index ...).
// Callers that must never fail catch it; see the parameter-list accessors.
class VariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class VarType { Empty, Null, Text, Int32, Double, Bool, Byte, Array, Unsupported };

// Element type of an array: texts (OLE strings), variants, or bytes.
enum class ElementType { Text, Variant, Byte };

class SafeArray;

class Variant {
 public:
  Variant() = default;  // empty
  Variant(const char* text) : value_(std::string(text)) {}
  Variant(std::string text) : value_(std::move(text)) {}
  Variant(int32_t number) : value_(number) {}
  Variant(double number) : value_(number) {}
  explicit Variant(SafeArray array);

  static Variant Null();
  static Variant FromBool(bool value);
  static Variant FromByte(uint8_t value);
  // Stands for a value the driver does not understand (an interface, a date, a nested array).
  static Variant Unsupported();

  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&&) noexcept = default;
  Variant& operator=(Variant&&) noexcept = default;
  ~Variant();

  VarType Type() const;
  bool IsEmpty() const { return Type() == VarType::Empty; }
  bool IsArray() const { return Type() == VarType::Array; }

  // True for a byte, and for an array whose element type is byte.
  bool IsByteType() const;

  // The OLE boolean: -1 for true, 0 for false.
  int16_t AsOleBool() const;
  bool AsBool() const { return AsOleBool() != 0; }
  int32_t AsInt32() const;
  double AsDouble() const;
  uint8_t AsByte() const;
  const std::string& AsText() const;  // only for text values
  const SafeArray& AsArray() const;
  SafeArray& AsArray();

  // The variant's own conversion to text: texts as they stand, numbers in plain decimal, the
  // empty value as "". Null, arrays and unsupported values raise VariantError.
  std::string ToText() const;

  bool operator==(const Variant& other) const;

 private:
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  struct UnsupportedTag {
    bool operator==(const UnsupportedTag&) const = default;
  };
  struct OleBool {
    int16_t value;
    bool operator==(const OleBool&) const = default;
  };
  struct Byte {
    uint8_t value;
    bool operator==(const Byte&) const = default;
  };
  using Storage = std::variant<std::monostate, NullTag, std::string, int32_t, double, OleBool, Byte,
                               std::unique_ptr<SafeArray>, UnsupportedTag>;
  Storage value_;
};

// A one-dimensional array with any lower bound. Elements are stored as variants whatever the
// element type; the element type decides how put converts and what callers may expect.
class SafeArray {
 public:
  SafeArray() = default;
  SafeArray(ElementType type, int32_t lowerBound, int32_t upperBound);

  // Builds a zero-based array of texts: the usual shape of a parameter list.
  static SafeArray OfTexts(const std::vector<std::string>& texts);
  static SafeArray OfBytes(const std::string& bytes);

  ElementType ElemType() const { return type_; }
  int32_t LowerBound() const { return lower_; }
  int32_t UpperBound() const { return lower_ + static_cast<int32_t>(items_.size()) - 1; }
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // Arrays of more than one dimension cannot be read as lists; the bus layer marks them so.
  int Dimensions() const { return dimensions_; }
  void SetDimensions(int dimensions) { dimensions_ = dimensions; }

  // Bounds-checked access; an index outside the bounds raises VariantError.
  const Variant& Get(int32_t index) const;
  // Stores a value converted to the element type: text arrays take its text, byte arrays its
  // number (0..255), variant arrays the value itself.
  void Put(int32_t index, const Variant& value);
  // The same, taking over the value where no conversion is needed (long lists from hosts).
  void Put(int32_t index, Variant&& value);

  // The bytes of a byte array, in index order.
  std::string Bytes() const;

  bool operator==(const SafeArray& other) const;

 private:
  size_t Slot(int32_t index) const;

  ElementType type_ = ElementType::Variant;
  int32_t lower_ = 0;
  int dimensions_ = 1;
  std::vector<Variant> items_;
};

}  // namespace qmb
