// The event dispatcher of the server without windows. Qt's own dispatchers hand every socket the
// program holds to poll() on each wake-up, which costs in proportion to the sites open: with a
// hundred Modbus/TCP sites, some 100 us of kernel time for each of the loop's dozen wake-ups a
// second, the largest single share of what a poll costs. This one keeps the descriptors
// registered with epoll, so that a wake-up costs what is ready rather than what is open.
//
// It keeps the contract of Qt's dispatchers: posted events are sent first in every pass; each
// timer due when a pass starts fires once in it, earliest first, and never while its own event is
// still being handled (a nested loop does not re-enter a timer); a ready descriptor activates its
// notifiers as poll() readiness would (a hang-up or an error activates them all); a notifier
// disabled during the pass is not activated. Coarse timers are moved within their 5 % onto
// round fractions of a second, and very coarse ones (and coarse ones of 20 s or more) go by the
// whole second, as in Qt, so that timers of like intervals share their wake-ups. Install it
// before the application object (QCoreApplication::setEventDispatcher); windows need Qt's own.
#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace qmb {

class EpollEventDispatcher : public QAbstractEventDispatcher {
 public:
  explicit EpollEventDispatcher(QObject* parent = nullptr);
  ~EpollEventDispatcher() override;
  EpollEventDispatcher(const EpollEventDispatcher&) = delete;
  EpollEventDispatcher& operator=(const EpollEventDispatcher&) = delete;

  bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

  void registerSocketNotifier(QSocketNotifier* notifier) override;
  void unregisterSocketNotifier(QSocketNotifier* notifier) override;

  // Bytes that arrive on the descriptor no longer wake the loop, while its end and its errors
  // still do: epoll is asked for the peer's close (EPOLLRDHUP) instead of readability, and that,
  // a hang-up or an error activates the read notifier as readability would. For a reply that is
  // read when the program looks for it rather than when it comes. Kept while the descriptor has
  // notifiers; false (nothing changed) for one without a read notifier.
  bool SetReadQuiet(qintptr fd, bool quiet);

  void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                     QObject* object) override;
  bool unregisterTimer(int timerId) override;
  bool unregisterTimers(QObject* object) override;
  QList<TimerInfo> registeredTimers(QObject* object) const override;
  int remainingTime(int timerId) override;

  void wakeUp() override;
  void interrupt() override;

 private:
  using Clock = std::chrono::steady_clock;

  struct TimerEntry {
    int id = 0;
    qint64 intervalMs = 0;
    Qt::TimerType type = Qt::CoarseTimer;
    QObject* object = nullptr;
    Clock::time_point timeout;
    uint64_t sequence = 0;  // registration order: equal timeouts fire in it
    // Set while the timer's event is being handled: it points at the handler's own reference,
    // which an unregistration clears.
    TimerEntry** firing = nullptr;
  };
  // The notifiers of one descriptor by type (read, write, exception).
  struct Watch {
    QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr};
    uint32_t events = 0;       // as registered with epoll
    bool alwaysReady = false;  // a descriptor epoll refuses (a plain file): ready, as poll() says
    bool readQuiet = false;    // SetReadQuiet
  };

  TimerEntry* FindTimer(int timerId) const;
  void NextTimeout(TimerEntry& timer, Clock::time_point now) const;
  // Milliseconds to the first timer due that is not firing now (rounded up), -1 for none.
  int WaitMs() const;
  int ActivateTimers();
  void MarkPending(int fd, uint32_t ready);
  int ActivateSocketNotifiers();
  void Update(int fd, Watch& watch);

  int epoll_ = -1;          // the watched descriptors and the wake-up
  int wakeOnlyEpoll_ = -1;  // the wake-up alone: waits that leave socket notifiers out
  int wakeFd_ = -1;         // eventfd
  std::atomic<bool> wakeUpPending_{false};
  std::atomic<bool> interrupted_{false};

  // By id: every open serial port has a timer of its own, and timers start and stop with every
  // exchange (the status lights).
  std::unordered_map<int, std::unique_ptr<TimerEntry>> timers_;
  uint64_t timerSequence_ = 0;
  std::unordered_map<int, Watch> watches_;
  size_t alwaysReady_ = 0;  // watches with alwaysReady set
  // The notifiers to activate in this pass, one list per nested pass (a notifier's event may run
  // a loop of its own); a notifier unregistered meanwhile is nulled in every list.
  std::vector<std::vector<QSocketNotifier*>> pending_;
  size_t socketDepth_ = 0;
  // The timers due when a pass started, one list per nested pass (a timer's event may run a
  // loop of its own); kept between passes, so that a wake-up allocates nothing.
  struct Due {
    Clock::time_point timeout;
    uint64_t sequence;
    int id;
  };
  std::vector<std::vector<Due>> due_;
  size_t timerDepth_ = 0;
};

}  // namespace qmb
