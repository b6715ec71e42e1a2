// Our Hayes dialer on the real serial port, against the simulated modem on a pseudo-terminal:
// a call that connects, the refusals, a modem that stays silent after the dial and one that
// answers nothing at all, and the escape back to command mode that the hang-up relies on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "links/HayesDialer.h"
#include "platform/qt/QtMessageLoop.h"
#include "platform/qt/QtSerialPort.h"
#include "qt/QtTestSupport.h"

extern char** environ;

namespace qmb {
namespace {

using test::WaitUntil;

// tools/modem_sim.py as a child process, linked as COM<port> in dir; stopped by its id.
class ModemSim {
 public:
  ModemSim(const std::string& dir, int port, const std::vector<std::string>& options) {
    std::vector<std::string> args = {"/usr/bin/python3", QMB_MODEM_SIM,        "--dir",      dir,
                                     "--port",           std::to_string(port), "--lifetime", "60"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Ready once it has printed "ready <device>"; it is given five seconds to start.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0) {
      char buffer[256];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    ready_ = line.rfind("ready ", 0) == 0;
  }
  ~ModemSim() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool Ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// The serial port, the dialer on it and what reaches whom, wired as the engine wires them: the
// dialer is fed while it is active, everything else is the link's.
class ModemLink : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& options) {
    sim = std::make_unique<ModemSim>(dir.Dir(), 4, options);
    ASSERT_TRUE(sim->Ready()) << "the simulated modem did not start";
    port.OnAvailable = [this](uint16_t count) {
      std::string bytes;
      for (uint16_t i = 0; i < count; ++i) bytes += static_cast<char>(port.GetByte());
      if (dialer.Active())
        dialer.Feed(bytes);
      else
        afterwards += bytes;
    };
    port.SetPortNumber(4);
    port.SetDataBits(8);
    port.SetStopBits(1);
    port.SetBaudRate(9600);
    port.Open();
    dialer.InitCommand = "ATV1Q0&C1&D2\r";
    dialer.PhoneNumber = "5551234";
    dialer.OnStatus = [this](int status) { statuses.push_back(status); };
  }

  // Dials and waits for the end of the call, bounded.
  void DialToEnd(int limitMs = 10000) {
    dialer.Dial();
    ASSERT_TRUE(WaitUntil([&] { return !dialer.Active(); }, limitMs)) << "the dial never ended";
  }

  test::ComDirectory dir;
  std::unique_ptr<ModemSim> sim;
  QtMessageLoop loop;
  QtSerialPort port;
  HayesDialer dialer{port, loop};
  std::vector<int> statuses;
  std::string afterwards;
};

TEST_F(ModemLink, ACallThatConnectsAndTheEscapeBackToCommandMode) {
  Start({"--mode", "connect", "--guard", "0.2"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 11}));
  EXPECT_TRUE(port.IsOpen());

  // What the hang-up does: guard time, "+++", guard time, then ATH.
  test::RunFor(300);
  port.PutBlock("+++");
  ASSERT_TRUE(WaitUntil([&] { return afterwards.find("OK") != std::string::npos; }));
  afterwards.clear();
  port.PutBlock("ATH\r");
  ASSERT_TRUE(WaitUntil([&] { return afterwards.find("OK") != std::string::npos; }));

  // And the modem dials again from command mode.
  statuses.clear();
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 11}));
}

TEST_F(ModemLink, RefusedCallsEndWithTheirStatus) {
  const std::vector<std::pair<std::string, int>> modes = {
      {"nocarrier", HayesDialer::kDialFailed},
      {"nodialtone", HayesDialer::kNoDialTone},
  };
  Start({"--mode", "busy"});
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 15}));
  for (const auto& [mode, status] : modes) {
    port.Close();
    sim.reset();
    statuses.clear();
    sim = std::make_unique<ModemSim>(dir.Dir(), 4, std::vector<std::string>{"--mode", mode});
    ASSERT_TRUE(sim->Ready());
    port.Open();
    DialToEnd();
    EXPECT_EQ(statuses, (std::vector<int>{2, 7, status})) << mode;
  }
}

TEST_F(ModemLink, ASilentModemEndsAtTheDialTimeOut) {
  Start({"--mode", "silent"});
  dialer.DialTimeoutMs = 1500;
  const int64_t started = loop.MonotonicMs();
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 7, 15}));
  // Ended by the time-out, not by anything the modem said (Qt's coarse timers may fire up to
  // 5 % early).
  EXPECT_GE(loop.MonotonicMs() - started, 1400);
  // The dialer abandoned the call; the modem says so.
  EXPECT_TRUE(WaitUntil([&] { return afterwards.find("NO CARRIER") != std::string::npos; }));
}

TEST_F(ModemLink, AModemThatAnswersNothingFailsAtTheInitialisationTimeOut) {
  Start({"--mode", "dead"});
  dialer.InitTimeoutMs = 1000;
  DialToEnd();
  EXPECT_EQ(statuses, (std::vector<int>{2, 15}));
}

}  // namespace
}  // namespace qmb
