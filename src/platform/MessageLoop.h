// The one event loop of the program. Every wait in the driver goes through it, so serial, TCP,
// window and bus events keep flowing while a handler waits for a device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace qmb {

// A repeating timer on the loop's thread. A timer never fires again while its own callback is
// still running (a callback that waits inside the loop is not re-entered by its own timer).
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void Start() = 0;  // (re)starts: the first shot comes one interval from now
  virtual void Stop() = 0;
  virtual bool IsActive() const = 0;
  virtual void SetInterval(int milliseconds) = 0;
  virtual int Interval() const = 0;
};

// A file descriptor the loop watches for an outside library that does its own I/O (the MQTT
// client): the reader is called whenever the descriptor has data (or hung up); the writer,
// while enabled, whenever it can take more. Dropping the watch stops both.
class FdWatch {
 public:
  virtual ~FdWatch() = default;
  virtual void SetWriteWatch(bool enabled) = 0;
};

class MessageLoop {
 public:
  virtual ~MessageLoop() = default;

  // Handles what is pending now and returns without waiting.
  virtual void ProcessPendingEvents() = 0;
  // Blocks (in the kernel, not spinning) until at least one event is due, then handles what is
  // pending. Returns after one batch.
  virtual void WaitForEvents() = 0;
  // A new repeating timer, stopped; Start() it.
  virtual std::unique_ptr<Timer> CreateTimer(int intervalMs, std::function<void()> onTimeout) = 0;
  // The same with an interval in microseconds, for the silence a serial line keeps between
  // frames (1.75 ms at the higher speeds): rounded up to whole milliseconds, a 1.75 ms wait takes
  // 2 ms, an eighth more than the line needs. A loop without a finer clock rounds it up.
  // Interval() and SetInterval() of the timer it returns count whole milliseconds.
  virtual std::unique_ptr<Timer> CreateTimerUs(int64_t intervalUs,
                                               std::function<void()> onTimeout) {
    return CreateTimer(static_cast<int>((intervalUs + 999) / 1000), std::move(onTimeout));
  }
  // Watches the descriptor (the caller keeps it open while the watch lives); writes are not
  // watched until SetWriteWatch(true).
  virtual std::unique_ptr<FdWatch> WatchFd(int fd, std::function<void()> onReadable,
                                           std::function<void()> onWritable) = 0;
  // Runs the call after the current event has been handled (from the loop, never inline).
  virtual void Post(std::function<void()> call) = 0;
  // Sleeps the thread without handling any event.
  virtual void SleepMs(int milliseconds) = 0;
  // Milliseconds on a monotonic clock; for logs and measurements, never for protocol timing
  // (that is counted in ticks).
  virtual int64_t MonotonicMs() const = 0;
};

// The local wall clock, as a date-time number: days since 1899-12-30, the fraction is the time
// of day. It is the unit site clock offsets are kept in.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double LocalNow() const = 0;
};

}  // namespace qmb
