#include "links/HayesDialer.h"

#include <cctype>
#include <exception>

namespace qmb {

namespace {

// A modem's lines are short; anything longer is line noise and is cut rather than hoarded.
constexpr size_t kMaxLine = 256;

enum class Result { None, Ok, Connect, NoCarrier, Error, NoDialTone, Busy, NoAnswer };

std::string Trimmed(const std::string& line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(line[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1]))) --end;
  std::string text = line.substr(begin, end - begin);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Result codes in words (V1) and the common numeric ones (V0), for a modem whose init string
// leaves it in numeric mode. Everything else (RING, CARRIER 28800, PROTOCOL: ...) is no result.
Result Classify(const std::string& text) {
  if (text == "OK" || text == "0") return Result::Ok;
  if (text == "CONNECT" || StartsWith(text, "CONNECT ") || StartsWith(text, "CONNECT/") ||
      text == "1")
    return Result::Connect;
  if (text == "NO CARRIER" || text == "3") return Result::NoCarrier;
  if (text == "ERROR" || text == "4") return Result::Error;
  if (text == "NO DIALTONE" || text == "NO DIAL TONE" || text == "6") return Result::NoDialTone;
  if (text == "BUSY" || text == "7") return Result::Busy;
  if (text == "NO ANSWER" || text == "8") return Result::NoAnswer;
  return Result::None;
}

}  // namespace

struct HayesDialer::State {
  enum class Phase { Idle, Init, Dial };

  State(HayesDialer& dialer, SerialPort& port) : owner(dialer), port(port) {}

  HayesDialer& owner;
  SerialPort& port;
  std::unique_ptr<Timer> timer;
  Phase phase = Phase::Idle;
  std::string line;
  // Counts dials, so that the rest of a Feed stops when a handler started or ended one.
  uint64_t dial = 0;
  std::shared_ptr<int> alive = std::make_shared<int>(0);

  void Arm(int milliseconds) {
    timer->SetInterval(milliseconds > 0 ? milliseconds : 1);
    timer->Start();
  }

  // Ends the dial and reports; the report is the last thing done, since its handler may start
  // another dial or destroy the dialer.
  void Finish(int status) {
    phase = Phase::Idle;
    timer->Stop();
    line.clear();
    Report(status);
  }

  void Report(int status) {
    const auto handler = owner.OnStatus;
    if (handler) handler(status);
  }

  // Any character makes a dialling modem give up the call.
  void AbortDial() {
    try {
      port.PutBlock("\r");
    } catch (const std::exception&) {
      // The port is gone: so is the call.
    }
  }

  void StartDialling() {
    const std::string& number = owner.PhoneNumber;
    // A number that names its own dialling method (T tone, P pulse) keeps it; tone otherwise.
    const int first = number.empty() ? 0 : std::toupper(static_cast<unsigned char>(number[0]));
    const bool method = first == 'T' || first == 'P';
    phase = Phase::Dial;
    Arm(owner.DialTimeoutMs);
    port.PutBlock((method ? "ATD" : "ATDT") + number + "\r");
    Report(kDialing);
  }

  void HandleLine(const std::string& raw) {
    const std::string text = Trimmed(raw);
    // The modem's echo of our commands.
    if (text.empty() || StartsWith(text, "AT")) return;
    const Result result = Classify(text);
    if (phase == Phase::Init) {
      if (result == Result::Ok) {
        try {
          StartDialling();
        } catch (const std::exception&) {
          Finish(kDialFailed);
        }
      } else if (result == Result::Error) {
        Finish(kDialFailed);
      }
      return;
    }
    switch (result) {
      case Result::Connect:
        Finish(kConnected);
        break;
      case Result::NoDialTone:
        Finish(kNoDialTone);
        break;
      case Result::NoCarrier:
      case Result::Busy:
      case Result::NoAnswer:
      case Result::Error:
        Finish(kDialFailed);
        break;
      case Result::Ok:  // a late answer to an initialisation; the call goes on
      case Result::None:
        break;
    }
  }

  void TimedOut() {
    if (phase == Phase::Dial) AbortDial();
    if (phase != Phase::Idle) Finish(kDialFailed);
  }
};

HayesDialer::HayesDialer(SerialPort& port, MessageLoop& loop)
    : state_(std::make_unique<State>(*this, port)), port_(port), loop_(loop) {
  // One timer serves both waits (the modem's answer to the initialisation, then the call).
  State* state = state_.get();
  state_->timer = loop_.CreateTimer(1000, [state] { state->TimedOut(); });
}

HayesDialer::~HayesDialer() = default;

void HayesDialer::Dial() {
  Cancel();
  State& s = *state_;
  const uint64_t dial = ++s.dial;
  if (PhoneNumber.empty()) {
    s.Report(kDialFailed);
    return;
  }
  std::string init = InitCommand;
  // A command without its CR would sit in the modem's buffer and never be answered.
  if (!init.empty() && init.back() != '\r' && init.back() != '\n') init += '\r';
  try {
    if (init.empty()) {
      // Nothing to initialise: straight to the number, once the handler has seen status 2.
      s.Report(kInitializing);
      if (s.dial == dial && s.phase == State::Phase::Idle) s.StartDialling();
      return;
    }
    s.phase = State::Phase::Init;
    s.Arm(InitTimeoutMs);
    port_.PutBlock(init);
  } catch (...) {
    s.phase = State::Phase::Idle;
    s.timer->Stop();
    throw;
  }
  s.Report(kInitializing);
}

void HayesDialer::Cancel() {
  State& s = *state_;
  if (s.phase == State::Phase::Dial) s.AbortDial();
  s.phase = State::Phase::Idle;
  s.timer->Stop();
  s.line.clear();
}

bool HayesDialer::Active() const {
  return state_->phase != State::Phase::Idle;
}

void HayesDialer::Feed(const std::string& bytes) {
  State& s = *state_;
  const uint64_t dial = s.dial;
  const std::weak_ptr<int> alive = s.alive;
  for (const char c : bytes) {
    // A status handler may have ended this dial, started another or destroyed the dialer.
    if (alive.expired() || s.phase == State::Phase::Idle || s.dial != dial) return;
    if (c == '\r' || c == '\n') {
      if (s.line.empty()) continue;
      const std::string line = std::move(s.line);
      s.line.clear();
      s.HandleLine(line);
    } else if (s.line.size() < kMaxLine) {
      s.line += c;
    }
  }
}

}  // namespace qmb
