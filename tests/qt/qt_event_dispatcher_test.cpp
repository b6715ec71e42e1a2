// What the driver relies on from the loop's dispatcher, on the one these tests run on (the epoll
// one of the server without windows; Qt's own under QMB_QT_DISPATCHER=qt): timers never re-enter
// their own event, coarse timers of like intervals share a wake-up, a notifier switched off in a
// pass is not activated in it, a hang-up wakes the reader, and a post from another thread wakes
// a loop that waits.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "QtTestSupport.h"

namespace qmb {
namespace {

using test::WaitUntil;

// Dispatcher passes, counted by the signal each pass starts with.
class PassCounter {
 public:
  PassCounter() {
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     &context_, [this] { ++passes; });
  }
  int passes = 0;

 private:
  QObject context_;
};

class SocketPair {
 public:
  SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~SocketPair() {
    for (const int fd : fds_)
      if (fd >= 0) close(fd);
  }
  int Near() const { return fds_[0]; }
  void Send() const { ASSERT_EQ(write(fds_[1], "x", 1), 1); }
  void Drain() const {
    char buffer[16];
    while (read(fds_[0], buffer, sizeof buffer) > 0) {
    }
  }
  void CloseFar() {
    close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(EventDispatcher, ATimerNeverFiresInsideItsOwnEvent) {
  QTimer outer;
  QTimer inner;
  outer.setTimerType(Qt::PreciseTimer);
  inner.setTimerType(Qt::PreciseTimer);
  int outerShots = 0;
  int innerShots = 0;
  int outerShotsInside = -1;
  QObject::connect(&inner, &QTimer::timeout, [&] { ++innerShots; });
  QObject::connect(&outer, &QTimer::timeout, [&] {
    if (++outerShots > 1) return;
    // A handler that waits in the loop for several of its own intervals.
    WaitUntil([&] { return innerShots >= 6; });
    outerShotsInside = outerShots;
  });
  inner.start(5);
  outer.start(10);
  ASSERT_TRUE(WaitUntil([&] { return outerShots >= 2; }));
  EXPECT_EQ(outerShotsInside, 1) << "the timer fired inside its own handler";
  EXPECT_GE(innerShots, 6) << "other timers stopped while one handler waited";
}

TEST(EventDispatcher, CoarseTimersOfLikeIntervalsShareAWakeUp) {
  using namespace std::chrono;
  // Two 100 ms timers started 6 ms apart, either side of a tenth of the monotonic clock's
  // second: moved within their 5 %, both fall on that tenth. Placing the starts takes a few
  // tries on a busy machine.
  const auto phase = [] {
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() % 100;
  };
  const auto spinTo = [&](int64_t wanted) {
    while (phase() != wanted) {
    }
  };
  for (int attempt = 0; attempt < 20; ++attempt) {
    PassCounter counter;
    QTimer first;
    QTimer second;
    first.setSingleShot(true);
    second.setSingleShot(true);
    int firstPass = -1;
    int secondPass = -1;
    QObject::connect(&first, &QTimer::timeout, [&] { firstPass = counter.passes; });
    QObject::connect(&second, &QTimer::timeout, [&] { secondPass = counter.passes; });
    spinTo(96);
    first.start(100);
    const auto firstStarted = steady_clock::now();
    const int64_t firstPhase = phase();
    spinTo(2);
    second.start(100);
    const bool placed =
        firstPhase == 96 && phase() == 2 && steady_clock::now() - firstStarted < milliseconds(10);
    ASSERT_TRUE(WaitUntil([&] { return firstPass >= 0 && secondPass >= 0; }));
    if (!placed) continue;  // a start slipped (the process was held up): again
    EXPECT_EQ(firstPass, secondPass) << "two wake-ups for timers 6 ms apart";
    return;
  }
  GTEST_SKIP() << "the machine too busy to place the timers' starts";
}

TEST(EventDispatcher, ANotifierSwitchedOffInAPassIsNotActivatedAndAHangUpWakesTheReader) {
  SocketPair a;
  SocketPair b;
  ASSERT_GE(a.Near(), 0);
  QSocketNotifier onA(a.Near(), QSocketNotifier::Read);
  QSocketNotifier onB(b.Near(), QSocketNotifier::Read);
  int aShots = 0;
  int bShots = 0;
  bool switchOff = true;
  // Whichever runs first switches the other off (the dispatcher's order is its own).
  QObject::connect(&onA, &QSocketNotifier::activated, [&] {
    ++aShots;
    a.Drain();
    if (switchOff) onB.setEnabled(false);
  });
  QObject::connect(&onB, &QSocketNotifier::activated, [&] {
    ++bShots;
    b.Drain();
    if (switchOff) onA.setEnabled(false);
  });
  a.Send();
  b.Send();
  ASSERT_TRUE(WaitUntil([&] { return aShots + bShots > 0; }));
  test::RunFor(30);
  EXPECT_EQ(aShots + bShots, 1) << "a notifier switched off in the pass was activated in it";

  // Both on again: what is still unread, and a far end that hangs up, wake their readers.
  switchOff = false;
  onA.setEnabled(true);
  onB.setEnabled(true);
  a.Send();
  ASSERT_TRUE(WaitUntil([&] { return aShots > 0 && bShots > 0; }));
  const int before = bShots;
  b.CloseFar();
  EXPECT_TRUE(WaitUntil([&] { return bShots > before; })) << "a hang-up did not wake the reader";
}

TEST(EventDispatcher, APostFromAnotherThreadWakesAWaitingLoop) {
  QObject receiver;
  bool ran = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QMetaObject::invokeMethod(
        &receiver, [&] { ran = true; }, Qt::QueuedConnection);
  });
  const auto started = std::chrono::steady_clock::now();
  // No timer is due: only the post can end the wait.
  while (!ran && std::chrono::steady_clock::now() - started < std::chrono::seconds(3))
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  poster.join();
  EXPECT_TRUE(ran);
}

// A post the loop's own thread makes inside a pass (from a posted call, a descriptor's handler,
// a timer's, or just before the loop would block) is sent without waiting for anything else.
// Nothing else wakes these loops: a post that waited would be sent only after the guard's
// descriptor wakes the loop, 3 s on.
enum class PostFrom { PostedCall, Notifier, Timer, AboutToBlock };

class EventDispatcherOwnPosts : public ::testing::TestWithParam<PostFrom> {};

TEST_P(EventDispatcherOwnPosts, AreSentWithoutWaiting) {
  QObject receiver;
  bool ran = false;
  bool guardRan = false;
  const auto post = [&] {
    QMetaObject::invokeMethod(
        &receiver, [&] { ran = true; }, Qt::QueuedConnection);
  };
  SocketPair pair;
  QSocketNotifier notifier(pair.Near(), QSocketNotifier::Read);
  QTimer timer;
  timer.setSingleShot(true);
  QMetaObject::Connection blocking;
  switch (GetParam()) {
    case PostFrom::PostedCall:
      QMetaObject::invokeMethod(&receiver, post, Qt::QueuedConnection);
      break;
    case PostFrom::Notifier:
      QObject::connect(&notifier, &QSocketNotifier::activated, &receiver, [&] {
        pair.Drain();
        post();
      });
      pair.Send();
      break;
    case PostFrom::Timer:
      QObject::connect(&timer, &QTimer::timeout, &receiver, post);
      timer.start(0);
      break;
    case PostFrom::AboutToBlock:
      blocking = QObject::connect(QAbstractEventDispatcher::instance(),
                                  &QAbstractEventDispatcher::aboutToBlock, &receiver, [&] {
                                    QObject::disconnect(blocking);
                                    post();
                                  });
      break;
  }
  // The guard wakes the loop through a descriptor of its own, which no lost post can silence.
  SocketPair alarm;
  QSocketNotifier guardNotifier(alarm.Near(), QSocketNotifier::Read);
  QObject::connect(&guardNotifier, &QSocketNotifier::activated, &receiver, [&] {
    alarm.Drain();
    guardRan = true;
  });
  std::atomic<bool> done{false};
  std::thread guard([&] {
    for (int i = 0; i < 300 && !done.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done.load()) alarm.Send();
  });
  while (!ran && !guardRan)
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  done = true;
  guard.join();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(guardRan) << "the post waited for the guard";
  QCoreApplication::sendPostedEvents(&receiver);
}

INSTANTIATE_TEST_SUITE_P(Places, EventDispatcherOwnPosts,
                         ::testing::Values(PostFrom::PostedCall, PostFrom::Notifier,
                                           PostFrom::Timer, PostFrom::AboutToBlock));

}  // namespace
}  // namespace qmb
