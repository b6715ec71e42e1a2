// What the in-process benchmarks do as a host: lists, status texts, running the real Qt loop for
// a while, opening a site and timing one POINTGETVALUE. The host asks every millisecond, so the
// times measured are the driver's own.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/ParamList.h"

namespace qmb::bench {

inline Variant List(const std::vector<std::string>& texts) {
  return Variant(SafeArray::OfTexts(texts));
}

// More open keys for the scale runs' sites, from $QMB_SITE_KEYS (blank-separated, e.g.
// "POLLMODE=FAST").
inline std::vector<std::string> ExtraSiteKeys() {
  std::vector<std::string> keys;
  const char* text = std::getenv("QMB_SITE_KEYS");
  std::string rest = text ? text : "";
  for (size_t at = 0; at < rest.size();) {
    const size_t end = std::min(rest.find(' ', at), rest.size());
    if (end > at) keys.push_back(rest.substr(at, end - at));
    at = end + 1;
  }
  return keys;
}

inline std::vector<std::string> Joined(std::vector<std::string> keys,
                                       const std::vector<std::string>& more) {
  keys.insert(keys.end(), more.begin(), more.end());
  return keys;
}

inline std::string Status(const Variant& reply) {
  std::string status;
  GetParamStr(reply, "COMMANDSTATUS", status);
  return status;
}

inline bool Ended(const std::string& status) {
  return status == "TRUE" || status == "FALSE" || status == "LOCKED";
}

// Runs the loop for about the given time, waking every millisecond.
inline void RunFor(int milliseconds) {
  QDeadlineTimer deadline(milliseconds);
  QTimer wake;
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(1);
  while (!deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// Opens the site and waits for the connect to end; false when it failed.
inline bool Open(TQorModBusCom& host, const std::vector<std::string>& keys) {
  host.SetDriverOption(List({"VERSIONCHECK=1.8"}));
  if (!host.OpenSite(List(keys))) return false;
  for (int i = 0; i < 100; ++i) {
    const std::string status = Status(host.ExecuteCommand(List({"COMMAND=COMMANDSTATUS"})));
    if (status == "TRUE") return true;
    if (status == "FALSE") return false;
    RunFor(50);
  }
  return false;
}

// One POINTGETVALUE; milliseconds from its acceptance to its result, negative on failure or when
// it took longer than limitMs.
inline double TimedRead(TQorModBusCom& host, const std::string& address, int limitMs = 10000) {
  const Variant command = List({"COMMAND=POINTGETVALUE", "POINT={p}{" + address + "}"});
  QElapsedTimer clock;
  std::string status;
  for (int tries = 0; tries < limitMs / 10; ++tries) {
    clock.start();
    status = Status(host.ExecuteCommand(command));
    if (status != "Waiting for driver...") break;
    RunFor(1);
  }
  const Variant poll = List({"COMMAND=COMMANDSTATUS"});
  while (!Ended(status) && clock.elapsed() < limitMs) {
    RunFor(1);
    status = Status(host.ExecuteCommand(poll));
  }
  return status == "TRUE" ? static_cast<double>(clock.nsecsElapsed()) / 1e6 : -1.0;
}

inline double Median(std::vector<double> times) {
  if (times.empty()) return -1;
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

}  // namespace qmb::bench
