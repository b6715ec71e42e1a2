#include "platform/qt/EpollEventDispatcher.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qmb {

namespace {

// What wakes a notifier of each type, as poll() readiness wakes Qt's own: a hang-up or an error
// wakes them all, so that whoever holds the descriptor finds out by reading or writing.
constexpr uint32_t kWakes[3] = {EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR,
                                EPOLLOUT | EPOLLHUP | EPOLLERR, EPOLLPRI | EPOLLHUP | EPOLLERR};
constexpr uint32_t kAsks[3] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
constexpr int kMaxEvents = 256;

using Clock = std::chrono::steady_clock;

Clock::time_point WholeSecond(Clock::time_point at) {
  return std::chrono::round<std::chrono::seconds>(at);
}

// A coarse timer may fire up to 5 % of its interval early or late. It is moved within that
// margin onto a round fraction of the clock's second, the rounder the better (the whole second,
// then multiples of 500, 200, 100, 250, 50 or 25 ms as the interval divides), so that timers of
// like intervals fire together: the engines' two 100 ms timers, one restarted after every tick,
// then share one wake-up instead of two. The same rounding as Qt's own dispatchers make.
void AlignCoarse(Clock::time_point& timeout, int64_t intervalMs, Clock::time_point now) {
  using std::chrono::milliseconds;
  const auto second = std::chrono::floor<std::chrono::seconds>(timeout.time_since_epoch());
  int64_t ms =
      std::chrono::duration_cast<milliseconds>(timeout.time_since_epoch() - second).count();
  if (intervalMs < 100 && intervalMs != 25 && intervalMs != 50 && intervalMs != 75) {
    ms &= intervalMs < 50 ? ~int64_t{1} : ~int64_t{3};  // even, or a multiple of 4
  } else {
    const int64_t slack = intervalMs / 20;
    const int64_t low = std::max<int64_t>(0, ms - slack);
    const int64_t high = std::min<int64_t>(1000, ms + slack);
    if (low == 0) {
      ms = 0;
    } else if (high == 1000) {
      ms = 1000;
    } else if (intervalMs % 500 == 0 && intervalMs >= 5000) {
      ms = ms >= 500 ? high : low;
    } else {
      int64_t step = 25;
      if (intervalMs % 500 == 0) {
        step = 500;
      } else if (intervalMs % 50 == 0) {
        const int64_t fifties = intervalMs / 50;
        step = fifties % 4 == 0 ? 200 : fifties % 2 == 0 ? 100 : fifties % 5 == 0 ? 250 : 50;
      }
      const int64_t base = ms / step * step;
      ms = ms < base + step / 2 ? std::max(base, low) : std::min(base + step, high);
    }
  }
  timeout = Clock::time_point(second + milliseconds(ms));
  if (timeout < now) timeout = now;
}

int Checked(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
  return result;
}

void WatchForInput(int epoll, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  Checked(epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event), "epoll_ctl");
}

}  // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject* parent) : QAbstractEventDispatcher(parent) {
  epoll_ = Checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
  wakeOnlyEpoll_ = Checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
  wakeFd_ = Checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
  WatchForInput(epoll_, wakeFd_);
  WatchForInput(wakeOnlyEpoll_, wakeFd_);
}

EpollEventDispatcher::~EpollEventDispatcher() {
  for (const int fd : {wakeFd_, wakeOnlyEpoll_, epoll_})
    if (fd >= 0) close(fd);
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
  interrupted_.store(false);
  emit awake();
  // What was posted before this point is sent now. A post from here on finds the flag clear and
  // sets it: from another thread it also writes the wake-up descriptor, which ends the wait below
  // at once; from this one the wait below does not start.
  const bool posted = wakeUpPending_.exchange(false);
  QCoreApplication::sendPostedEvents();

  const bool timers = !flags.testFlag(QEventLoop::X11ExcludeTimers);
  const bool sockets = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
  // A pass that sent posted events returns without waiting, as Qt's own dispatcher does: the
  // caller looks at what they changed first.
  const bool canWait =
      flags.testFlag(QEventLoop::WaitForMoreEvents) && !posted && !interrupted_.load();
  if (canWait) emit aboutToBlock();
  if (interrupted_.load()) return false;

  int timeout = 0;
  if (canWait && !(sockets && alwaysReady_ > 0)) timeout = timers ? WaitMs() : -1;
  // Posted by this thread since the pass began (no descriptor write for those): no wait.
  if (wakeUpPending_.load()) timeout = 0;
  epoll_event events[kMaxEvents];
  const int count = epoll_wait(sockets ? epoll_ : wakeOnlyEpoll_, events, kMaxEvents, timeout);
  int handled = posted ? 1 : 0;
  for (int i = 0; i < count; ++i) {
    const int fd = events[i].data.fd;
    if (fd == wakeFd_) {
      // Its posts are sent at the start of the next pass.
      uint64_t value = 0;
      [[maybe_unused]] const ssize_t got = read(wakeFd_, &value, sizeof value);
      ++handled;
    } else if (sockets) {
      MarkPending(fd, events[i].events);
    }
  }
  if (sockets) {
    if (alwaysReady_ > 0)
      for (const auto& [fd, watch] : watches_)
        if (watch.alwaysReady) MarkPending(fd, EPOLLIN | EPOLLOUT);
    handled += ActivateSocketNotifiers();
  }
  if (timers) handled += ActivateTimers();
  return handled > 0;
}

// ---- Socket notifiers ----

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
  const int fd = static_cast<int>(notifier->socket());
  const int type = static_cast<int>(notifier->type());
  Watch& watch = watches_[fd];
  if (watch.notifiers[type] && watch.notifiers[type] != notifier)
    qWarning("QSocketNotifier: Multiple socket notifiers for same socket %d and type %d", fd, type);
  watch.notifiers[type] = notifier;
  Update(fd, watch);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
  for (auto& level : pending_)
    std::replace(level.begin(), level.end(), notifier, static_cast<QSocketNotifier*>(nullptr));
  const int fd = static_cast<int>(notifier->socket());
  const auto entry = watches_.find(fd);
  if (entry == watches_.end()) return;
  Watch& watch = entry->second;
  const int type = static_cast<int>(notifier->type());
  if (watch.notifiers[type] != notifier) return;
  watch.notifiers[type] = nullptr;
  Update(fd, watch);
  if (watch.events == 0 && !watch.alwaysReady) watches_.erase(entry);
}

bool EpollEventDispatcher::SetReadQuiet(qintptr fd, bool quiet) {
  const auto entry = watches_.find(static_cast<int>(fd));
  if (entry == watches_.end() || !entry->second.notifiers[0] || entry->second.alwaysReady)
    return false;
  entry->second.readQuiet = quiet;
  Update(static_cast<int>(fd), entry->second);
  return true;
}

void EpollEventDispatcher::Update(int fd, Watch& watch) {
  uint32_t wanted = 0;
  for (int type = 0; type < 3; ++type)
    if (watch.notifiers[type]) wanted |= type == 0 && watch.readQuiet ? EPOLLRDHUP : kAsks[type];
  if (watch.alwaysReady) {
    if (wanted == 0) {
      watch.alwaysReady = false;
      --alwaysReady_;
    }
    return;
  }
  if (wanted == watch.events) return;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = fd;
  int result = 0;
  if (wanted == 0) {
    result = epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, &event);
    // Closed before its notifiers went: epoll dropped it with its last reference.
    if (result < 0 && (errno == ENOENT || errno == EBADF)) result = 0;
  } else if (watch.events == 0) {
    result = epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    // Still registered for a descriptor that was closed and whose number came back.
    if (result < 0 && errno == EEXIST) result = epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
  } else {
    result = epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    if (result < 0 && errno == ENOENT) result = epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }
  if (result < 0 && errno == EPERM) {
    // A plain file: poll() calls it ready at all times, and so does this dispatcher.
    watch.events = 0;
    watch.alwaysReady = true;
    ++alwaysReady_;
    return;
  }
  if (result < 0) {
    qWarning("QSocketNotifier: cannot watch socket %d: %s", fd, std::strerror(errno));
    return;
  }
  watch.events = wanted;
}

void EpollEventDispatcher::MarkPending(int fd, uint32_t ready) {
  const auto entry = watches_.find(fd);
  if (entry == watches_.end()) return;
  if (pending_.size() <= socketDepth_) pending_.resize(socketDepth_ + 1);
  for (int type = 0; type < 3; ++type) {
    QSocketNotifier* notifier = entry->second.notifiers[type];
    if (notifier && (ready & kWakes[type])) pending_[socketDepth_].push_back(notifier);
  }
}

int EpollEventDispatcher::ActivateSocketNotifiers() {
  if (pending_.size() <= socketDepth_) return 0;
  const size_t level = socketDepth_++;
  int activated = 0;
  QEvent event(QEvent::SockAct);
  try {
    // By index: a nested pass may grow pending_, which moves the lists but keeps their contents.
    // A notifier unregistered meanwhile (its socket closed by an earlier one) is left out.
    for (size_t i = 0; i < pending_[level].size(); ++i) {
      QSocketNotifier* notifier = pending_[level][i];
      if (!notifier) continue;
      pending_[level][i] = nullptr;
      QCoreApplication::sendEvent(notifier, &event);
      ++activated;
    }
  } catch (...) {
    pending_[level].clear();
    --socketDepth_;
    throw;
  }
  pending_[level].clear();
  --socketDepth_;
  return activated;
}

// ---- Timers ----

EpollEventDispatcher::TimerEntry* EpollEventDispatcher::FindTimer(int timerId) const {
  const auto entry = timers_.find(timerId);
  return entry == timers_.end() ? nullptr : entry->second.get();
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object) {
  auto timer = std::make_unique<TimerEntry>();
  timer->id = timerId;
  timer->intervalMs = std::max<qint64>(interval, 0);
  timer->type = timerType;
  // Five per cent of 20 s is a second: such a coarse timer goes by the second, as in Qt.
  if (timerType == Qt::CoarseTimer && timer->intervalMs >= 20000) timer->type = Qt::VeryCoarseTimer;
  if (timer->type == Qt::VeryCoarseTimer && timer->intervalMs > 0)
    timer->intervalMs = std::max<qint64>(1000, (timer->intervalMs + 500) / 1000 * 1000);
  // Up to 20 ms, five per cent is less than a millisecond: kept precise, as in Qt.
  if (timer->type == Qt::CoarseTimer && timer->intervalMs <= 20) timer->type = Qt::PreciseTimer;
  timer->object = object;
  const Clock::time_point now = Clock::now();
  timer->timeout = now + std::chrono::milliseconds(timer->intervalMs);
  if (timer->type == Qt::VeryCoarseTimer) timer->timeout = WholeSecond(timer->timeout);
  if (timer->type == Qt::CoarseTimer) AlignCoarse(timer->timeout, timer->intervalMs, now);
  timer->sequence = ++timerSequence_;
  timers_[timerId] = std::move(timer);
}

bool EpollEventDispatcher::unregisterTimer(int timerId) {
  const auto entry = timers_.find(timerId);
  if (entry == timers_.end()) return false;
  if (entry->second->firing) *entry->second->firing = nullptr;
  timers_.erase(entry);
  return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject* object) {
  bool any = false;
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (it->second->object != object) {
      ++it;
      continue;
    }
    if (it->second->firing) *it->second->firing = nullptr;
    it = timers_.erase(it);
    any = true;
  }
  return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(
    QObject* object) const {
  QList<TimerInfo> list;
  for (const auto& [id, timer] : timers_)
    if (timer->object == object)
      list.append(TimerInfo(timer->id, static_cast<int>(timer->intervalMs), timer->type));
  return list;
}

int EpollEventDispatcher::remainingTime(int timerId) {
  const TimerEntry* timer = FindTimer(timerId);
  if (!timer) return -1;
  const auto left = timer->timeout - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void EpollEventDispatcher::NextTimeout(TimerEntry& timer, Clock::time_point now) const {
  const std::chrono::milliseconds interval(timer.intervalMs);
  if (timer.type == Qt::VeryCoarseTimer) {
    timer.timeout = WholeSecond(now + interval);
    return;
  }
  // In step with the first start; a timer that fell behind starts a new step from now.
  timer.timeout += interval;
  if (timer.timeout < now) timer.timeout = now + interval;
  if (timer.type == Qt::CoarseTimer) AlignCoarse(timer.timeout, timer.intervalMs, now);
}

int EpollEventDispatcher::WaitMs() const {
  const TimerEntry* first = nullptr;
  for (const auto& [id, timer] : timers_)
    if (!timer->firing && (!first || timer->timeout < first->timeout)) first = timer.get();
  if (!first) return -1;
  const auto left = first->timeout - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

int EpollEventDispatcher::ActivateTimers() {
  if (timers_.empty()) return 0;
  const Clock::time_point now = Clock::now();
  if (due_.size() <= timerDepth_) due_.resize(timerDepth_ + 1);
  std::vector<Due>& due = due_[timerDepth_];
  due.clear();
  for (const auto& [id, timer] : timers_)
    if (timer->timeout <= now) due.push_back({timer->timeout, timer->sequence, id});
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    return a.timeout != b.timeout ? a.timeout < b.timeout : a.sequence < b.sequence;
  });
  const size_t level = timerDepth_++;
  int activated = 0;
  for (size_t i = 0; i < due_[level].size(); ++i) {
    // By index: a nested pass may grow due_, which moves the lists but keeps their contents.
    const Due entry = due_[level][i];
    TimerEntry* timer = FindTimer(entry.id);
    // Gone, or gone and its id given to a new timer, while an earlier one fired.
    if (!timer || timer->sequence != entry.sequence) continue;
    NextTimeout(*timer, now);
    if (timer->intervalMs > 0) ++activated;
    if (timer->firing) continue;  // its own event is still being handled, further up
    TimerEntry* current = timer;
    timer->firing = &current;
    QTimerEvent event(timer->id);
    try {
      QCoreApplication::sendEvent(timer->object, &event);
    } catch (...) {
      if (current) current->firing = nullptr;
      --timerDepth_;
      throw;
    }
    if (current) current->firing = nullptr;
  }
  --timerDepth_;
  return activated;
}

// ---- Waking ----

void EpollEventDispatcher::wakeUp() {
  if (wakeUpPending_.exchange(true)) return;  // one write until the next pass takes it
  // The loop's own thread is not waiting while it posts, and the wait looks at the flag first:
  // no descriptor write and read for every post the driver makes in its own thread.
  if (QThread::currentThread() == thread()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

void EpollEventDispatcher::interrupt() {
  interrupted_.store(true);
  wakeUp();
}

}  // namespace qmb
