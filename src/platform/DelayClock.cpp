#include "platform/DelayClock.h"

namespace qmb {

void DelayClock::Delay(int32_t n) {
  loop_.ProcessPendingEvents();
  DelayTicks = 0;
  // The original design re-ran the message pass in a tight loop until enough ticks had passed,
  // which burns a whole core for every wait. Waiting for the next event in the kernel gives the
  // same order of events (the 100 ms delay timer is one of them) at no cost.
  while (n >= static_cast<int32_t>(DelayTicks)) loop_.WaitForEvents();
}

}  // namespace qmb
