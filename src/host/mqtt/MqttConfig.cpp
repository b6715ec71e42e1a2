#include "host/mqtt/MqttConfig.h"

namespace qmb {

bool IsTopicLevel(std::string_view text) {
  if (text.empty() || text.front() == '$') return false;
  for (const char c : text)
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return false;
  return true;
}

}  // namespace qmb
