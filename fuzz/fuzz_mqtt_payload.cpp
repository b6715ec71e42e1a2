// A /set message's payload comes from anyone who may publish to the broker: every byte string
// is read as a value for each kind of point, without a crash, and a value read for a text point
// is text while one read for any other point never is. A reading's JSON is checked alongside:
// its text is valid UTF-8 with no raw control character, whatever bytes the device sent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/mqtt/MqttBridge.h"

namespace {

bool ValidJsonText(const std::string& json) {
  for (size_t i = 0; i < json.size(); ++i) {
    const auto byte = static_cast<unsigned char>(json[i]);
    if (byte < 0x20) return false;
    if (byte < 0x80) continue;
    // Latin-1 text becomes two-byte sequences only.
    if ((byte != 0xC2 && byte != 0xC3) || i + 1 >= json.size() ||
        (static_cast<unsigned char>(json[i + 1]) & 0xC0) != 0x80)
      return false;
    ++i;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmb;
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  for (size_t alternative = 0; alternative < std::variant_size_v<TypedScalar>; ++alternative) {
    const auto value = ParseSetPayload(payload, alternative);
    if (const auto* scalar = std::get_if<TypedScalar>(&value))
      if (std::holds_alternative<std::string>(*scalar) != (alternative == 9)) std::abort();
  }
  const TypedReading reading{std::string(payload), size, size % 2 ? 192u : 0u,
                             std::string(payload)};
  if (!ValidJsonText(ReadingJson(reading))) std::abort();
  return 0;
}
