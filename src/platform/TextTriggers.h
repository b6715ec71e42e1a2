// Text triggers on a received byte stream: each trigger watches for a short text and reports a hit
// by its handle. Matching runs over the stream as it arrives, so a text split across reads still
// matches; only bytes that arrive after a trigger was added can complete it, so the tail of an
// earlier reply never fires a trigger set up for the next one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmb {

class TextTriggers {
 public:
  static constexpr size_t kMaxLength = 21;

  // Registers a text of 1 to kMaxLength bytes; ignoreCase folds ASCII letters only (the bytes
  // are Latin-1 text from devices, where only the ASCII letters have an agreed case). Returns a
  // positive handle; SerialError for an empty or too long text.
  uint16_t Add(const std::string& text, bool ignoreCase);
  // False when no trigger has the handle.
  bool Remove(uint16_t handle);
  void Clear();
  bool Contains(uint16_t handle) const;
  bool Empty() const { return triggers_.empty(); }
  size_t Size() const { return triggers_.size(); }

  // Feeds received bytes; appends to hits the handle of every trigger a byte completes, in the
  // order of the completing bytes (a trigger that matches twice is reported twice).
  void Scan(const char* data, size_t size, std::vector<uint16_t>& hits);

 private:
  struct Trigger {
    uint16_t handle;
    bool ignoreCase;
    std::string text;  // folded when ignoreCase
    uint64_t armedAt;  // stream position when added: matches must start at or after it
  };

  // The last bytes seen, enough for the longest text; indexed by stream position.
  static constexpr size_t kHistory = 32;
  static_assert(kHistory >= kMaxLength);

  std::vector<Trigger> triggers_;
  std::array<char, kHistory> history_{};
  uint64_t position_ = 0;  // bytes seen so far
  uint16_t nextHandle_ = 1;
};

}  // namespace qmb
