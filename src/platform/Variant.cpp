#include "platform/Variant.h"

#include <charconv>
#include <cmath>
#include <utility>

#include "platform/Locale.h"

namespace qmb {

Variant::Variant(SafeArray array) : value_(std::make_unique<SafeArray>(std::move(array))) {}

Variant::Variant(const Variant& other) {
  *this = other;
}

Variant& Variant::operator=(const Variant& other) {
  if (this == &other) return *this;
  if (const auto* array = std::get_if<std::unique_ptr<SafeArray>>(&other.value_)) {
    value_ = std::make_unique<SafeArray>(**array);
  } else {
    std::visit(
        [this](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (!std::is_same_v<T, std::unique_ptr<SafeArray>>) value_ = v;
        },
        other.value_);
  }
  return *this;
}

Variant::~Variant() = default;

Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}

Variant Variant::FromBool(bool value) {
  Variant v;
  v.value_ = OleBool{static_cast<int16_t>(value ? -1 : 0)};
  return v;
}

Variant Variant::FromByte(uint8_t value) {
  Variant v;
  v.value_ = Byte{value};
  return v;
}

Variant Variant::Unsupported() {
  Variant v;
  v.value_ = UnsupportedTag{};
  return v;
}

VarType Variant::Type() const {
  switch (value_.index()) {
    case 0:
      return VarType::Empty;
    case 1:
      return VarType::Null;
    case 2:
      return VarType::Text;
    case 3:
      return VarType::Int32;
    case 4:
      return VarType::Double;
    case 5:
      return VarType::Bool;
    case 6:
      return VarType::Byte;
    case 7:
      return VarType::Array;
    default:
      return VarType::Unsupported;
  }
}

bool Variant::IsByteType() const {
  if (Type() == VarType::Byte) return true;
  return IsArray() && AsArray().ElemType() == ElementType::Byte;
}

int16_t Variant::AsOleBool() const {
  if (const auto* b = std::get_if<OleBool>(&value_)) return b->value;
  if (Type() == VarType::Text) {
    const std::string& text = AsText();
    if (text == "True" || text == "TRUE" || text == "true") return -1;
    if (text == "False" || text == "FALSE" || text == "false") return 0;
  }
  return AsDouble() != 0.0 ? -1 : 0;
}

int32_t Variant::AsInt32() const {
  switch (Type()) {
    case VarType::Int32:
      return std::get<int32_t>(value_);
    case VarType::Byte:
      return std::get<Byte>(value_).value;
    case VarType::Bool:
      return std::get<OleBool>(value_).value;
    case VarType::Empty:
      return 0;
    default:
      break;
  }
  const double d = AsDouble();
  if (!(d >= -2147483648.5 && d < 2147483647.5)) throw VariantError("Number out of range");
  return static_cast<int32_t>(std::lround(d));
}

double Variant::AsDouble() const {
  switch (Type()) {
    case VarType::Empty:
      return 0.0;
    case VarType::Int32:
      return std::get<int32_t>(value_);
    case VarType::Double:
      return std::get<double>(value_);
    case VarType::Bool:
      return std::get<OleBool>(value_).value;
    case VarType::Byte:
      return std::get<Byte>(value_).value;
    case VarType::Text: {
      const std::string& text = AsText();
      double result = 0;
      const char* end = text.data() + text.size();
      auto [ptr, ec] = std::from_chars(text.data(), end, result);
      if (ec != std::errc() || ptr != end || text.empty())
        throw VariantError("Could not convert \"" + text + "\" to a number");
      return result;
    }
    default:
      throw VariantError("Invalid variant type conversion");
  }
}

uint8_t Variant::AsByte() const {
  const int32_t n = AsInt32();
  if (n < 0 || n > 255) throw VariantError("Byte value out of range");
  return static_cast<uint8_t>(n);
}

const std::string& Variant::AsText() const {
  const auto* text = std::get_if<std::string>(&value_);
  if (!text) throw VariantError("Variant is not a text");
  return *text;
}

const SafeArray& Variant::AsArray() const {
  const auto* array = std::get_if<std::unique_ptr<SafeArray>>(&value_);
  if (!array) throw VariantError("Variant is not an array");
  return **array;
}

SafeArray& Variant::AsArray() {
  auto* array = std::get_if<std::unique_ptr<SafeArray>>(&value_);
  if (!array) throw VariantError("Variant is not an array");
  return **array;
}

namespace {

// Plain decimal with up to 15 significant digits, the locale's separator, and an exponent only
// where plain digits would be absurd (as the original platform's float-to-text did).
std::string DoubleToText(double d) {
  if (std::isnan(d)) return "NAN";
  if (std::isinf(d)) return d > 0 ? "INF" : "-INF";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::general, 15);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  for (char& c : text) {
    if (c == '.') c = DecimalSeparator();
    if (c == 'e') c = 'E';
  }
  // "1E+20" reads better as "1E20"; keep the minus of negative exponents.
  if (const auto plus = text.find("E+"); plus != std::string::npos) text.erase(plus + 1, 1);
  return text;
}

}  // namespace

std::string Variant::ToText() const {
  switch (Type()) {
    case VarType::Empty:
      return {};
    case VarType::Text:
      return AsText();
    case VarType::Int32:
      return std::to_string(std::get<int32_t>(value_));
    case VarType::Double:
      return DoubleToText(std::get<double>(value_));
    case VarType::Bool:
      return std::get<OleBool>(value_).value ? "True" : "False";
    case VarType::Byte:
      return std::to_string(std::get<Byte>(value_).value);
    case VarType::Null:
      throw VariantError("Invalid use of Null");
    case VarType::Array:
      throw VariantError("Invalid variant type conversion (array to text)");
    default:
      throw VariantError("Invalid variant type conversion");
  }
}

bool Variant::operator==(const Variant& other) const {
  if (value_.index() != other.value_.index()) return false;
  if (IsArray()) return AsArray() == other.AsArray();
  return value_ == other.value_;
}

SafeArray::SafeArray(ElementType type, int32_t lowerBound, int32_t upperBound)
    : type_(type), lower_(lowerBound) {
  if (upperBound >= lowerBound) {
    const int64_t count = int64_t{upperBound} - lowerBound + 1;
    if (count > 16 * 1024 * 1024) throw VariantError("Array too large");
    items_.resize(static_cast<size_t>(count));
    // Text arrays hold empty texts, not empty variants, like freshly created OLE string arrays.
    if (type_ == ElementType::Text)
      for (auto& item : items_) item = Variant(std::string());
    if (type_ == ElementType::Byte)
      for (auto& item : items_) item = Variant::FromByte(0);
  }
}

SafeArray SafeArray::OfTexts(const std::vector<std::string>& texts) {
  SafeArray array(ElementType::Text, 0, static_cast<int32_t>(texts.size()) - 1);
  for (size_t i = 0; i < texts.size(); ++i) array.items_[i] = Variant(texts[i]);
  return array;
}

SafeArray SafeArray::OfBytes(const std::string& bytes) {
  SafeArray array(ElementType::Byte, 0, static_cast<int32_t>(bytes.size()) - 1);
  for (size_t i = 0; i < bytes.size(); ++i)
    array.items_[i] = Variant::FromByte(static_cast<uint8_t>(bytes[i]));
  return array;
}

size_t SafeArray::Slot(int32_t index) const {
  const int64_t slot = int64_t{index} - lower_;
  if (slot < 0 || slot >= static_cast<int64_t>(items_.size()))
    throw VariantError("Array index out of bounds");
  return static_cast<size_t>(slot);
}

const Variant& SafeArray::Get(int32_t index) const {
  return items_[Slot(index)];
}

void SafeArray::Put(int32_t index, const Variant& value) {
  const size_t slot = Slot(index);
  switch (type_) {
    case ElementType::Text:
      items_[slot] = Variant(value.ToText());
      break;
    case ElementType::Byte:
      items_[slot] = Variant::FromByte(value.AsByte());
      break;
    case ElementType::Variant:
      items_[slot] = value;
      break;
  }
}

void SafeArray::Put(int32_t index, Variant&& value) {
  if (type_ == ElementType::Variant ||
      (type_ == ElementType::Text && value.Type() == VarType::Text))
    items_[Slot(index)] = std::move(value);
  else
    Put(index, static_cast<const Variant&>(value));
}

std::string SafeArray::Bytes() const {
  std::string bytes;
  bytes.reserve(items_.size());
  for (const auto& item : items_) bytes.push_back(static_cast<char>(item.AsByte()));
  return bytes;
}

bool SafeArray::operator==(const SafeArray& other) const {
  return type_ == other.type_ && lower_ == other.lower_ && dimensions_ == other.dimensions_ &&
         items_ == other.items_;
}

}  // namespace qmb
