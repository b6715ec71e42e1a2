#include "platform/TextTriggers.h"

#include <algorithm>

#include "platform/SerialPort.h"

namespace qmb {

namespace {

char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

uint16_t TextTriggers::Add(const std::string& text, bool ignoreCase) {
  if (text.empty()) throw SerialError("A data trigger needs a text");
  if (text.size() > kMaxLength)
    throw SerialError("A data trigger text may have at most " + std::to_string(kMaxLength) +
                      " characters");
  if (triggers_.size() >= 0xFFFF) throw SerialError("Too many data triggers");
  // Handles are reused only after wrapping, and never while still held.
  while (nextHandle_ == 0 || Contains(nextHandle_)) ++nextHandle_;
  Trigger trigger{nextHandle_++, ignoreCase, text, position_};
  if (ignoreCase) std::transform(text.begin(), text.end(), trigger.text.begin(), FoldAscii);
  triggers_.push_back(std::move(trigger));
  return triggers_.back().handle;
}

bool TextTriggers::Remove(uint16_t handle) {
  return std::erase_if(triggers_, [handle](const Trigger& t) { return t.handle == handle; }) > 0;
}

void TextTriggers::Clear() {
  triggers_.clear();
}

bool TextTriggers::Contains(uint16_t handle) const {
  return std::any_of(triggers_.begin(), triggers_.end(),
                     [handle](const Trigger& t) { return t.handle == handle; });
}

void TextTriggers::Scan(const char* data, size_t size, std::vector<uint16_t>& hits) {
  if (triggers_.empty()) {
    // Nothing can match: only the position matters (history before a trigger's arming is never
    // consulted).
    position_ += size;
    return;
  }
  for (size_t i = 0; i < size; ++i) {
    const char byte = data[i];
    history_[position_ % kHistory] = byte;
    ++position_;
    const char folded = FoldAscii(byte);
    for (const Trigger& t : triggers_) {
      const size_t length = t.text.size();
      if ((t.ignoreCase ? folded : byte) != t.text.back()) continue;
      if (position_ - t.armedAt < length) continue;
      // Compare the rest backwards from the byte before this one.
      size_t k = 1;
      for (; k < length; ++k) {
        const char seen = history_[(position_ - 1 - k) % kHistory];
        if ((t.ignoreCase ? FoldAscii(seen) : seen) != t.text[length - 1 - k]) break;
      }
      if (k == length) hits.push_back(t.handle);
    }
  }
}

}  // namespace qmb
