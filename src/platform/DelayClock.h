// The program-wide delay clock: a 16-bit tick counter advanced every 100 ms, and Delay, the only
// way anything in the driver waits. Delay keeps every event flowing (serial, TCP, window, bus)
// but blocks in the loop between events instead of spinning.
#pragma once

#include <cstdint>

#include "platform/MessageLoop.h"

namespace qmb {

class DelayClock {
 public:
  explicit DelayClock(MessageLoop& loop) : loop_(loop) {}

  // Called by the main window's 100 ms delay timer.
  void DelayTick() { ++DelayTicks; }

  // Returns after the (n + 1)-th tick counted from now; every Delay restarts the shared
  // counter, so nested waits lengthen or shorten the outer one. Negative n returns after one
  // pass over pending events.
  void Delay(int32_t n);

  MessageLoop& Loop() { return loop_; }

  uint16_t DelayTicks = 0;  // wraps from 65535 to 0

 private:
  MessageLoop& loop_;
};

}  // namespace qmb
