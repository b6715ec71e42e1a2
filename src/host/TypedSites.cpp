#include "host/TypedSites.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <exception>
#include <set>
#include <span>

#include "engine/FastScanner.h"
#include "host/OpenSettings.h"
#include "platform/Log.h"
#include "platform/ParamList.h"
#include "platform/TextHelpers.h"
#include "protocol/CodeNames.h"
#include "protocol/TypedValue.h"

namespace qmb {

namespace {

// clang 14 cannot assemble its function-type check ahead of a free coroutine's resume part (it
// lands in another section): the check is left out of these, as it is of member coroutines.
#if defined(__clang__)
#define QMB_COROUTINE __attribute__((no_sanitize("function")))
#else
#define QMB_COROUTINE
#endif

// TypedScalar alternatives by name, so the tables below read as the interface documents them.
enum Alternative : size_t {
  kBool,
  kByte,
  kInt16,
  kUInt16,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kDouble,
  kString
};

// The alternative each type word reads as, in ValueType order.
constexpr size_t kAlternativeOfType[kValueTypeCount] = {
    kUInt16, kByte, kUInt32, kInt16, kBool, kDouble, kString, kInt32, kUInt64, kInt64, kDouble};

uint64_t NowMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// The codec's text of a value as the point's alternative.
TypedScalar ScalarFromText(size_t alternative, const std::string& text) {
  const auto integer = [&text]<typename T>(T) {
    T value{};
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
  };
  switch (alternative) {
    case kBool:
      return text == "TRUE" || text == "1";
    case kByte:
      return integer(uint8_t{});
    case kInt16:
      return integer(int16_t{});
    case kUInt16:
      return integer(uint16_t{});
    case kInt32:
      return integer(int32_t{});
    case kUInt32:
      return integer(uint32_t{});
    case kInt64:
      return integer(int64_t{});
    case kUInt64:
      return integer(uint64_t{});
    case kDouble: {
      if (text == "NaN") return std::nan("");
      if (text == "Infinity") return HUGE_VAL;
      if (text == "-Infinity") return -HUGE_VAL;
      double value = 0;
      std::from_chars(text.data(), text.data() + text.size(), value);
      return value;
    }
    default:
      return text;
  }
}

const char* const kAlternativeNames[] = {"b (boolean)", "y (byte)",   "n (int16)", "q (uint16)",
                                         "i (int32)",   "u (uint32)", "x (int64)", "t (uint64)",
                                         "d (double)",  "s (string)"};

// The request's unit: the point's slave, or on Modbus/TCP its unit id (FF for none).
ModbusRequest ForUnit(ModbusRequest request, const PointAddress& point) {
  if (!request.Bytes.empty()) request.Bytes[0] = static_cast<char>(point.Slave & 0xFF);
  request.KeepUnit = true;
  return request;
}

}  // namespace

std::string TypedScalarText(const TypedScalar& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "1" : "0";
        } else if constexpr (std::is_same_v<T, double>) {
          if (std::isnan(v)) return "NaN";
          if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
          char buffer[32];
          const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
          return std::string(buffer, end);
        } else {
          return std::to_string(v);
        }
      },
      value);
}

std::variant<TypedPoint, std::string> ParseTypedPoint(const std::string& text, bool tcpMode) {
  std::string why;
  const auto address = ParsePointAddress(text, tcpMode, &why);
  if (!address) return "point \"" + text + "\": " + why;
  if (ReadFunction(address->PointKind) == 0 || !HasWireAddress(*address))
    return "point \"" + text + "\" names nothing that can be read";
  TypedPoint point{*address, TypedLayoutOf(*address),
                   IsRegister(address->PointKind) ? kUInt16 : kBool};
  if (point.layout) {
    const std::string error = TypedLayoutError(*point.layout);
    if (!error.empty()) return "point \"" + text + "\": " + error;
    if (!ReadRequest(*address, static_cast<uint16_t>(RegisterCount(*point.layout))))
      return "point \"" + text + "\": its registers run past the last register";
    point.valueIndex = kAlternativeOfType[static_cast<size_t>(point.layout->type)];
  }
  return point;
}

std::variant<Variant, std::string> TypedOpenList(const TypedOptions& options, bool siteExists) {
  struct Known {
    const char* name;
    size_t alternative;
  };
  static constexpr Known kKnown[] = {
      {"Description", kString}, {"Transport", kString}, {"Host", kString},
      {"Port", kUInt16},        {"ComPort", kUInt32},   {"Baud", kUInt32},
      {"Parity", kString},      {"StopBits", kByte},    {"RS485", kBool},
      {"PhoneNumber", kString}, {"Poll", kString},      {"TimeoutMs", kUInt32},
      {"Retries", kUInt32},     {"GapMs", kUInt32},     {"ConnectPauseMs", kUInt32}};
  for (const auto& [key, value] : options) {
    const std::string& name = key;
    const auto known = std::find_if(std::begin(kKnown), std::end(kKnown),
                                    [&name](const Known& k) { return name == k.name; });
    if (known == std::end(kKnown))
      return "unknown option \"" + name +
             "\" (Description, Transport, Host, Port, ComPort, Baud, Parity, StopBits, RS485, "
             "PhoneNumber, Poll, TimeoutMs, Retries, GapMs, ConnectPauseMs)";
    if (value.index() != known->alternative)
      return "option " + name + " is a " + kAlternativeNames[known->alternative] + ", not a " +
             kAlternativeNames[value.index()];
  }
  const auto text = [&options](const char* name) {
    const auto found = options.find(name);
    return found == options.end() ? std::string() : std::get<std::string>(found->second);
  };
  const auto has = [&options](const char* name) { return options.count(name) != 0; };
  const std::string description = text("Description");
  if (description.empty()) return std::string("option Description is needed: the site's name");
  std::vector<std::string> list{MakeParam("DESCRIPTION", description)};
  const std::string transport = LowerCase(text("Transport"));
  if (transport.empty()) {
    // A site open already is joined as it is; a new one needs its link.
    if (siteExists) return Variant(SafeArray::OfTexts(list));
    return std::string(
        "option Transport is needed to open a new site (tcp, rtu-tcp, rtu, ascii or modem)");
  }
  if (transport == "tcp" || transport == "rtu-tcp") {
    const std::string host = text("Host");
    if (host.empty()) return "option Host is needed with Transport " + transport;
    if (host.find_first_of("[] \t") != std::string::npos)
      return "option Host \"" + host + "\" is no host name or address";
    const uint16_t port = has("Port") ? std::get<uint16_t>(options.at("Port")) : 502;
    if (port == 0) return std::string("option Port must be 1 to 65535");
    const bool ipv6 = host.find(':') != std::string::npos;
    list.push_back("BP3=TRUE");
    list.push_back(MakeParam("SP3", (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port)));
    if (transport == "rtu-tcp") list.push_back("TCPFRAMING=RTU");
  } else if (transport == "rtu" || transport == "ascii" || transport == "modem") {
    if (!has("ComPort") || std::get<uint32_t>(options.at("ComPort")) == 0 ||
        std::get<uint32_t>(options.at("ComPort")) > 255)
      return "option ComPort (1 to 255) is needed with Transport " + transport;
    list.push_back(MakeParam("COMPORT", std::to_string(std::get<uint32_t>(options.at("ComPort")))));
    if (has("Baud")) {
      const uint32_t baud = std::get<uint32_t>(options.at("Baud"));
      if (baud < 50 || baud > 4000000)
        return std::string("option Baud must be 50 to 4000000 bits per second");
      list.push_back(MakeParam("BAUDRATE", std::to_string(baud)));
    }
    if (has("Parity")) {
      const std::string parity = LowerCase(text("Parity"));
      const char* code = parity == "none"   ? "0"
                         : parity == "odd"  ? "1"
                         : parity == "even" ? "2"
                                            : nullptr;
      if (!code) return "option Parity \"" + text("Parity") + "\" is none, odd or even";
      list.push_back(MakeParam("IP2", code));
    }
    if (has("StopBits")) {
      const uint8_t stopBits = std::get<uint8_t>(options.at("StopBits"));
      if (stopBits != 1 && stopBits != 2) return std::string("option StopBits must be 1 or 2");
      list.push_back(MakeParam("IP1", std::to_string(stopBits)));
    }
    if (has("RS485"))
      list.push_back(MakeParam("BP1", std::get<bool>(options.at("RS485")) ? "TRUE" : "FALSE"));
    if (transport == "rtu") list.push_back("BP2=TRUE");
    if (transport == "modem") {
      if (text("PhoneNumber").empty())
        return std::string("option PhoneNumber is needed with Transport modem");
      list.push_back("CONNECTIONTYPE=MODEM");
      list.push_back(MakeParam("PHONENUMBER", text("PhoneNumber")));
    }
  } else {
    return "option Transport \"" + text("Transport") + "\" is tcp, rtu-tcp, rtu, ascii or modem";
  }
  // Timing for slow or picky devices, as the open list's keys take it (the open checks them).
  for (const auto& [option, key] :
       {std::pair{"TimeoutMs", "TIMEOUT"}, std::pair{"Retries", "RETRIES"},
        std::pair{"GapMs", "GAP"}, std::pair{"ConnectPauseMs", "CONNECTPAUSE"}})
    if (has(option))
      list.push_back(MakeParam(key, std::to_string(std::get<uint32_t>(options.at(option)))));
  if (has("Poll")) {
    const std::string poll = LowerCase(text("Poll"));
    if (poll != "tick" && poll != "fast")
      return "option Poll \"" + text("Poll") + "\" is tick or fast";
    list.push_back(MakeParam("POLLMODE", UpperCase(poll)));
  }
  Variant params(SafeArray::OfTexts(list));
  // A timing value the open would refuse is the host's mistake, named as such.
  TSite timing;
  if (std::string why = ReadTimingKeys(params, timing); !why.empty()) return why;
  return params;
}

// One client's hold on a site: a driver object of its own, attached to the site's engine.
struct TypedSites::Hold {
  std::unique_ptr<TQorModBusCom> object;
};

struct TypedSites::Site {
  std::string description;
  std::map<std::string, Hold> holds;  // by client
  // The latest reading of each point (by its canonical address), and when it was taken on the
  // loop's clock, for reads that accept a value of some age.
  struct Cached {
    TypedReading reading;
    int64_t atMs = 0;
  };
  std::map<std::string, Cached> cache;
  std::map<uint32_t, std::unique_ptr<Subscription>> subscriptions;

  TModBusForm* Engine() const {
    for (const auto& [client, hold] : holds)
      if (hold.object->Engine) return hold.object->Engine;
    return nullptr;
  }
};

struct TypedSites::Subscription {
  std::string client;
  std::vector<TypedPoint> points;
  SubscribeOptions options;
  std::vector<std::optional<TypedReading>> sent;  // as last reported
  std::vector<TypedReading> latest;
  std::set<uint32_t> pending;  // changed since the last report
  bool cycling = false;        // a read cycle is queued or on the line
  std::unique_ptr<Timer> timer;
};

struct TypedSites::PendingOpen {
  std::string client;
  std::unique_ptr<TQorModBusCom> object;
  OpenDone done;
};

TypedSites::TypedSites(TMainForm& mainForm, MessageLoop& loop) : mainForm_(mainForm), loop_(loop) {}

TypedSites::~TypedSites() {
  *alive_ = false;
  // Hosts still waiting for an open hear that it ends with the server.
  auto opening = std::move(opening_);
  for (auto& open : opening)
    open->done(0, {TypedErrorKind::NotConnected, "the server is stopping"});
}

bool TypedSites::HasClient(const std::string& client) const {
  for (const auto& [id, site] : sites_)
    if (site->holds.count(client)) return true;
  return std::any_of(opening_.begin(), opening_.end(),
                     [&client](const auto& open) { return open->client == client; });
}

std::vector<uint32_t> TypedSites::Sites() const {
  std::vector<uint32_t> ids;
  for (const auto& [id, site] : sites_) ids.push_back(id);
  return ids;
}

TypedError TypedSites::Open(const std::string& client, const TypedOptions& options, OpenDone done) {
  const auto description = options.find("Description");
  const bool exists = description != options.end() &&
                      std::holds_alternative<std::string>(description->second) &&
                      mainForm_.FindEngine(std::get<std::string>(description->second)) != nullptr;
  auto list = TypedOpenList(options, exists);
  if (const auto* why = std::get_if<std::string>(&list)) return {TypedErrorKind::InvalidArgs, *why};
  size_t held = 0;
  for (const auto& [id, site] : sites_) held += site->holds.count(client);
  if (held >= kMaxSitesPerClient)
    return {TypedErrorKind::LimitsExceeded,
            "this client holds " + std::to_string(held) + " sites, the most one client may hold"};
  auto open = std::make_shared<PendingOpen>();
  open->client = client;
  open->object = std::make_unique<TQorModBusCom>(mainForm_);
  open->object->VersionAccepted = true;
  open->object->JoinAsIs = exists && !options.count("Transport");
  open->done = std::move(done);
  if (!open->object->OpenSite(std::get<Variant>(std::move(list)))) {
    const std::string detail = open->object->LastErrorDetail();
    return {TypedErrorKind::NotConnected,
            "the site cannot be opened" + (detail.empty() ? std::string() : ": " + detail)};
  }
  opening_.push_back(open);
  // The open goes on in the engine's link steps, which the tick advances; it is followed at the
  // tick's own pace, as a design host follows it.
  if (!openTimer_) {
    openTimer_ = loop_.CreateTimer(100, [this] {
      for (const auto& pending : std::vector(opening_)) PollOpen(pending);
      if (opening_.empty()) openTimer_->Stop();
    });
  }
  if (!openTimer_->IsActive()) openTimer_->Start();
  PollOpen(open);
  return {};
}

void TypedSites::PollOpen(const std::shared_ptr<PendingOpen>& open) {
  TQorModBusCom& object = *open->object;
  if (!object.Engine) return FinishOpen(open, {TypedErrorKind::NotConnected, "the site closed"});
  const Variant reply =
      object.ExecuteCommand(Variant(SafeArray::OfTexts({"COMMAND=COMMANDSTATUS"})));
  std::string status;
  GetParamStr(reply, "COMMANDSTATUS", status);
  if (status == "TRUE" || (status.empty() && object.Engine->IsConnected()))
    return FinishOpen(open, {});
  if (status == "LOCKED") {
    std::string comment;
    GetParamStr(reply, "COMMANDERROR", comment);
    return FinishOpen(open,
                      {TypedErrorKind::Locked,
                       "the site is locked: " +
                           (comment.empty() ? std::string("locked to one computer") : comment)});
  }
  if (status == "FALSE") {
    const std::string detail = object.LastErrorDetail();
    std::string error;
    GetParamStr(reply, "COMMANDERROR", error);
    return FinishOpen(open, {TypedErrorKind::NotConnected,
                             "the link did not come up" +
                                 (detail.empty() ? error.empty() ? std::string() : ": " + error
                                                 : ": " + detail)});
  }
}

void TypedSites::FinishOpen(const std::shared_ptr<PendingOpen>& open, const TypedError& error) {
  opening_.erase(std::remove(opening_.begin(), opening_.end(), open), opening_.end());
  if (error) return open->done(0, error);
  TModBusForm* engine = open->object->Engine;
  // One site object per engine: a second client (or the same one again) joins it.
  uint32_t id = 0;
  for (const auto& [siteId, site] : sites_)
    if (site->Engine() == engine) id = siteId;
  const bool added = id == 0;
  if (added) {
    id = nextSite_++;
    sites_[id] = std::make_unique<Site>();
    sites_[id]->description = engine->Site.Description;
  }
  Site& site = *sites_[id];
  // A client that opens a site it holds already keeps one hold.
  if (!site.holds.count(open->client)) site.holds[open->client].object = std::move(open->object);
  LogInfo("Client " + open->client + " opened site " + std::to_string(id) + " (\"" +
          LoggedText(site.description) + "\") on the typed interface");
  if (added && OnSiteAdded) OnSiteAdded(id);
  open->done(id, {});
}

TModBusForm* TypedSites::Usable(uint32_t siteId, const std::string& client, TypedError& error) {
  const auto site = sites_.find(siteId);
  if (site == sites_.end()) {
    error = {TypedErrorKind::UnknownObject, "no site " + std::to_string(siteId)};
    return nullptr;
  }
  const auto hold = site->second->holds.find(client);
  if (hold == site->second->holds.end()) {
    error = {TypedErrorKind::AccessDenied,
             "site " + std::to_string(siteId) + " was not opened by this client; open it first"};
    return nullptr;
  }
  TModBusForm* engine = hold->second.object->Engine;
  if (!engine) {
    error = {TypedErrorKind::NotConnected, "the site's window was closed; open the site again"};
    return nullptr;
  }
  const CommandSession& session = engine->Session;
  if (session.IsBlocked()) {
    error = {TypedErrorKind::Locked, "the site is blocked in its window"};
    return nullptr;
  }
  if (session.Locked() && session.LockOwner() != hold->second.object.get()) {
    error = {TypedErrorKind::Locked,
             "the site is locked: " + (session.LockComment().empty()
                                           ? std::string("locked to one computer")
                                           : session.LockComment())};
    return nullptr;
  }
  if (!engine->IsConnected()) {
    const std::string cause = engine->Log.CurrentCause();
    error = {TypedErrorKind::NotConnected,
             "the site is not connected" + (cause.empty() ? std::string() : ": " + cause)};
    return nullptr;
  }
  return engine;
}

namespace {

// A read or write in flight on the line. The host hears of it once: when it ends, or when the
// work is dropped unfinished (the site's engine went), from the destructor.
struct ReadJob {
  std::vector<TypedPoint> points;
  std::vector<TypedReading> readings;
  std::vector<bool> fromDevice;
  TypedSites::ReadDone done;
  std::function<void(const TypedPoint&, const TypedReading&)> cache;
  ~ReadJob() {
    if (done) done({}, {TypedErrorKind::NotConnected, "the site closed during the read"});
  }
};

struct WriteJob {
  std::vector<std::pair<TypedPoint, ModbusRequest>> writes;
  std::vector<std::string> texts;
  TypedSites::WriteDone done;
  ~WriteJob() {
    if (done) done({TypedErrorKind::WriteFailed, "the site closed during the write"});
  }
};

// What an exchange came to, as a reading's error; empty when the value came.
std::string ExchangeError(TModBusForm& engine, const ModbusRequest& request,
                          const ExchangeResult& result) {
  const std::string device =
      engine.Transactions.Link().DeviceName() + std::to_string(request.Unit());
  switch (result.Failure) {
    case ExchangeFailure::None:
      return {};
    case ExchangeFailure::Exception: {
      const std::string_view name = ExceptionName(result.Reply.ErrorCode);
      return device + " answered with exception " + std::to_string(result.Reply.ErrorCode) +
             (name.empty() ? std::string() : " (" + std::string(name) + ")");
    }
    case ExchangeFailure::Refused:
      return engine.Transactions.Refusal(request);
    case ExchangeFailure::NotReady:
      return "the link could not carry the request (no connection)";
    default:
      return "no usable reply from " + device;
  }
}

// A point's reading from the exchange that read it: the value, from the reply's text, when it
// came; else why not (failure: the line's own error, when it raised one).
TypedReading Reading(TModBusForm& engine, const TypedPoint& point, const ModbusRequest& request,
                     const ExchangeResult& result, const std::string& failure,
                     const std::function<std::string()>& text) {
  TypedReading reading;
  reading.timeUs = NowMicros();
  reading.error = failure.empty() ? ExchangeError(engine, request, result) : failure;
  reading.quality = reading.error.empty() ? 192 : 0;
  if (reading.error.empty()) reading.value = ScalarFromText(point.valueIndex, text());
  return reading;
}

// One point read by a request of its own.
QMB_COROUTINE Task<TypedReading> ReadPoint(TModBusForm* engine, const TypedPoint& point) {
  const ModbusRequest request =
      ForUnit(*ReadRequest(point.address, ReadOf(point.address, true).Quantity), point.address);
  ExchangeResult result;
  std::string failure;
  try {
    result = co_await engine->Direct.Exchange(request);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  co_return Reading(*engine, point, request, result, failure,
                    [&] { return PointValueOf(result.Reply, point.address, true); });
}

QMB_COROUTINE Task<void> RunRead(TModBusForm* engine, std::shared_ptr<ReadJob> job) {
  for (size_t i = 0; i < job->points.size(); ++i) {
    if (!job->fromDevice[i]) continue;
    job->readings[i] = co_await ReadPoint(engine, job->points[i]);
    if (job->readings[i].quality == 192) job->cache(job->points[i], job->readings[i]);
  }
  auto done = std::exchange(job->done, nullptr);
  done(std::move(job->readings), {});
}

QMB_COROUTINE Task<void> RunWrite(TModBusForm* engine, std::shared_ptr<WriteJob> job) {
  for (size_t i = 0; i < job->writes.size(); ++i) {
    const ModbusRequest& request = job->writes[i].second;
    ExchangeResult result;
    std::string failure;
    try {
      result = co_await engine->Direct.Exchange(request);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (failure.empty()) failure = ExchangeError(*engine, request, result);
    if (!failure.empty()) {
      auto done = std::exchange(job->done, nullptr);
      done({TypedErrorKind::WriteFailed, "writing " + job->texts[i] + " failed: " + failure});
      co_return;
    }
  }
  auto done = std::exchange(job->done, nullptr);
  done({});
}

// One subscription's read cycle: near points share a block read as the fast scan plans them
// (a block covers every register of a typed value), and a block the device refuses is read
// point by point, so one address it lacks costs only that point.
struct CycleJob {
  std::vector<TypedPoint> points;
  std::vector<TypedReading> readings;
  std::function<void(std::vector<TypedReading>)> done;
  ~CycleJob() {
    if (done)
      done(std::vector<TypedReading>(points.size(),
                                     TypedReading{uint16_t{0}, NowMicros(), 0, "the site closed"}));
  }
};

QMB_COROUTINE Task<void> RunCycle(TModBusForm* engine, std::shared_ptr<CycleJob> job) {
  std::vector<PointAddress> addresses;
  for (const TypedPoint& point : job->points) addresses.push_back(point.address);
  std::vector<size_t> alone;
  for (const ScanBlock& block : PlanScanBlocks(addresses, true)) {
    ModbusRequest request = BlockRequest(block);
    request.KeepUnit = true;
    ExchangeResult result;
    std::string failure;
    try {
      result = co_await engine->Direct.Exchange(request);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    for (const ScanBlock::Member& member : block.Members) {
      const auto i = static_cast<size_t>(member.Position);
      if (result.Failure == ExchangeFailure::Exception && block.Members.size() > 1)
        alone.push_back(i);
      else
        job->readings[i] = Reading(*engine, job->points[i], request, result, failure,
                                   [&] { return BlockMemberValue(block, member, result.Reply); });
    }
  }
  for (const size_t i : alone) job->readings[i] = co_await ReadPoint(engine, job->points[i]);
  auto done = std::exchange(job->done, nullptr);
  done(std::move(job->readings));
}

// Whether a reading differs from the one reported enough to be reported: its quality or error,
// or its value beyond the deadband (numbers) or at all (texts, bits).
bool Changed(const TypedReading& now, const TypedReading& before, double deadband) {
  if (now.quality != before.quality || now.error != before.error) return true;
  if (now.value.index() != before.value.index()) return true;
  const auto number = [](const TypedScalar& value) -> std::optional<double> {
    return std::visit(
        [](const auto& v) -> std::optional<double> {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool>)
            return std::nullopt;
          else
            return static_cast<double>(v);
        },
        value);
  };
  const auto a = number(now.value);
  const auto b = number(before.value);
  if (!a || !b || deadband <= 0)
    return now.value != before.value && !(a && b && std::isnan(*a) && std::isnan(*b));
  if (std::isnan(*a) || std::isnan(*b)) return std::isnan(*a) != std::isnan(*b);
  return std::fabs(*a - *b) > deadband;
}

}  // namespace

TypedError TypedSites::Subscribe(uint32_t siteId, const std::string& client,
                                 const std::vector<std::string>& points,
                                 const SubscribeOptions& options, uint32_t& subscription) {
  TypedError error;
  TModBusForm* engine = Usable(siteId, client, error);
  // A site that is down or locked is subscribed to all the same: its points report why.
  if (!engine && error.kind != TypedErrorKind::NotConnected && error.kind != TypedErrorKind::Locked)
    return error;
  if (points.empty()) return {TypedErrorKind::InvalidArgs, "no points to subscribe to"};
  if (options.intervalMs < kMinIntervalMs)
    return {TypedErrorKind::InvalidArgs,
            "option IntervalMs must be at least " + std::to_string(kMinIntervalMs)};
  if (!(options.deadband >= 0) || std::any_of(options.deadbands.begin(), options.deadbands.end(),
                                              [](double deadband) { return !(deadband >= 0); }))
    return {TypedErrorKind::InvalidArgs, "option Deadband must be a number of 0 or more"};
  size_t held = 0;
  for (const auto& [id, site] : sites_)
    for (const auto& [sub, entry] : site->subscriptions) held += entry->client == client;
  if (held >= kMaxSubscriptionsPerClient)
    return {TypedErrorKind::LimitsExceeded, "this client holds " + std::to_string(held) +
                                                " subscriptions, the most one client may hold"};
  Site& site = *sites_.at(siteId);
  const TModBusForm* any = site.Engine();
  const bool tcp = any && any->Flags.TCPMode;
  auto entry = std::make_unique<Subscription>();
  for (const std::string& text : points) {
    auto parsed = ParseTypedPoint(text, tcp);
    if (const auto* why = std::get_if<std::string>(&parsed))
      return {TypedErrorKind::InvalidArgs, *why};
    entry->points.push_back(std::get<TypedPoint>(std::move(parsed)));
  }
  entry->client = client;
  entry->options = options;
  entry->sent.resize(points.size());
  entry->latest.resize(points.size());
  subscription = nextSubscription_++;
  entry->timer = loop_.CreateTimer(static_cast<int>(options.intervalMs),
                                   [this, siteId, id = subscription] { StartCycle(siteId, id); });
  entry->timer->Start();
  site.subscriptions[subscription] = std::move(entry);
  LogInfo("Client " + client + " subscribed to " + std::to_string(points.size()) +
          " points of site " + std::to_string(siteId) + " (subscription " +
          std::to_string(subscription) + ")");
  StartCycle(siteId, subscription);
  return {};
}

bool TypedSites::SubscriptionExists(uint32_t siteId, uint32_t subscription) const {
  const auto site = sites_.find(siteId);
  return site != sites_.end() && site->second->subscriptions.count(subscription) != 0;
}

TypedError TypedSites::Unsubscribe(uint32_t siteId, uint32_t subscription,
                                   const std::string& client) {
  if (!SubscriptionExists(siteId, subscription))
    return {TypedErrorKind::UnknownObject, "no subscription " + std::to_string(subscription)};
  auto& subscriptions = sites_.at(siteId)->subscriptions;
  if (subscriptions.at(subscription)->client != client)
    return {TypedErrorKind::AccessDenied,
            "subscription " + std::to_string(subscription) + " belongs to another client"};
  subscriptions.erase(subscription);
  return {};
}

void TypedSites::StartCycle(uint32_t siteId, uint32_t id) {
  if (!SubscriptionExists(siteId, id)) return;
  Subscription& subscription = *sites_.at(siteId)->subscriptions.at(id);
  if (subscription.cycling) return;
  TypedError error;
  TModBusForm* engine = Usable(siteId, subscription.client, error);
  if (!engine) {
    Cycled(siteId, id,
           std::vector<TypedReading>(subscription.points.size(),
                                     TypedReading{uint16_t{0}, NowMicros(), 0, error.text}));
    return;
  }
  subscription.cycling = true;
  auto job = std::make_shared<CycleJob>();
  job->points = subscription.points;
  job->readings.resize(job->points.size());
  job->done = [this, siteId, id, alive = alive_](std::vector<TypedReading> readings) {
    if (*alive) Cycled(siteId, id, std::move(readings));
  };
  engine->RunOnLine(RunCycle(engine, job));
}

void TypedSites::Cycled(uint32_t siteId, uint32_t id, std::vector<TypedReading> readings) {
  if (!SubscriptionExists(siteId, id)) return;
  Site& site = *sites_.at(siteId);
  Subscription& subscription = *site.subscriptions.at(id);
  subscription.cycling = false;
  const int64_t now = loop_.MonotonicMs();
  const bool tcp = site.Engine() && site.Engine()->Flags.TCPMode;
  for (size_t i = 0; i < readings.size() && i < subscription.points.size(); ++i) {
    TypedReading& reading = readings[i];
    if (reading.quality == 192)
      site.cache[FormatPointAddress(subscription.points[i].address, tcp)] = {reading, now};
    const auto& sent = subscription.sent[i];
    const auto& deadbands = subscription.options.deadbands;
    const double deadband = i < deadbands.size() ? deadbands[i] : subscription.options.deadband;
    if (!sent || Changed(reading, *sent, deadband))
      subscription.pending.insert(static_cast<uint32_t>(i));
    else
      subscription.pending.erase(static_cast<uint32_t>(i));
    subscription.latest[i] = std::move(reading);
  }
  // One report per read cycle, and cycles start at most once an interval (on its timer): a
  // cycle that ends sooner after the last report than an interval (its device answered faster
  // this time) is still reported, as holding it back would let the next cycle overwrite it.
  if (subscription.pending.empty()) return;
  Changes changes;
  for (const uint32_t i : subscription.pending) {
    changes.emplace_back(i, subscription.latest[i]);
    subscription.sent[i] = subscription.latest[i];
  }
  subscription.pending.clear();
  const auto sink = sinks_.find(subscription.client);
  if (sink != sinks_.end())
    sink->second(siteId, id, changes);
  else if (OnChanged)
    OnChanged(siteId, id, subscription.client, changes);
}

void TypedSites::SetChangeSink(const std::string& client, ChangeSink sink) {
  if (sink)
    sinks_[client] = std::move(sink);
  else
    sinks_.erase(client);
}

std::map<std::string, uint64_t> TypedSites::Counters(uint32_t siteId) const {
  const auto site = sites_.find(siteId);
  const TModBusForm* engine = site == sites_.end() ? nullptr : site->second->Engine();
  if (!engine) return {};
  const ExchangeCounters& c = engine->Transactions.Counters();
  return {{"requests", c.Requests},
          {"replies", c.Replies},
          {"timeouts", c.Timeouts},
          {"checksum errors", c.ChecksumErrors},
          {"exceptions", c.Exceptions}};
}

TypedError TypedSites::Read(uint32_t siteId, const std::string& client,
                            const std::vector<std::string>& points, uint32_t maxAgeMs,
                            ReadDone done) {
  TypedError error;
  TModBusForm* engine = Usable(siteId, client, error);
  if (!engine) return error;
  const bool tcp = engine->Flags.TCPMode;
  auto job = std::make_shared<ReadJob>();
  Site& site = *sites_[siteId];
  const int64_t now = loop_.MonotonicMs();
  bool anyFromDevice = false;
  for (const std::string& text : points) {
    auto parsed = ParseTypedPoint(text, tcp);
    if (const auto* why = std::get_if<std::string>(&parsed))
      return {TypedErrorKind::InvalidArgs, *why};
    TypedPoint& point = std::get<TypedPoint>(parsed);
    const auto cached =
        maxAgeMs ? site.cache.find(FormatPointAddress(point.address, tcp)) : site.cache.end();
    const bool fresh =
        cached != site.cache.end() && now - cached->second.atMs <= static_cast<int64_t>(maxAgeMs);
    job->readings.push_back(fresh ? cached->second.reading : TypedReading{});
    job->fromDevice.push_back(!fresh);
    anyFromDevice |= !fresh;
    job->points.push_back(std::move(point));
  }
  if (!anyFromDevice) {
    done(std::move(job->readings), {});
    return {};
  }
  job->done = std::move(done);
  job->cache = [this, siteId, tcp, alive = alive_](const TypedPoint& point,
                                                   const TypedReading& reading) {
    if (!*alive) return;
    const auto site = sites_.find(siteId);
    if (site != sites_.end())
      site->second->cache[FormatPointAddress(point.address, tcp)] = {reading, loop_.MonotonicMs()};
  };
  engine->RunOnLine(RunRead(engine, job));
  return {};
}

TypedError TypedSites::Write(uint32_t siteId, const std::string& client,
                             const std::vector<std::pair<std::string, TypedScalar>>& values,
                             WriteDone done) {
  TypedError error;
  TModBusForm* engine = Usable(siteId, client, error);
  if (!engine) return error;
  const bool tcp = engine->Flags.TCPMode;
  auto job = std::make_shared<WriteJob>();
  // Every value is converted before anything is sent: one that cannot be leaves all unwritten.
  for (const auto& [text, value] : values) {
    auto parsed = ParseTypedPoint(text, tcp);
    if (const auto* why = std::get_if<std::string>(&parsed))
      return {TypedErrorKind::InvalidArgs, *why};
    const TypedPoint& point = std::get<TypedPoint>(parsed);
    const PointAddress::Kind kind = point.address.PointKind;
    if (kind != PointAddress::Kind::Coil && kind != PointAddress::Kind::HoldingRegister)
      return {TypedErrorKind::InvalidArgs,
              "point \"" + text +
                  "\" is an input; only coils (OUT) and holding registers (HREG) "
                  "can be written"};
    if (std::holds_alternative<std::string>(value) != (point.valueIndex == kString))
      return {TypedErrorKind::InvalidArgs, "point \"" + text + "\" takes a " +
                                               kAlternativeNames[point.valueIndex] + ", not a " +
                                               kAlternativeNames[value.index()]};
    std::optional<ModbusRequest> request;
    if (point.layout) {
      const EncodedValue encoded = EncodeTypedValue(*point.layout, TypedScalarText(value), '.');
      if (!encoded.error.empty())
        return {TypedErrorKind::InvalidArgs, "point \"" + text + "\": " + encoded.error};
      request = WriteRegistersRequest(point.address, encoded.registers, engine->Site.WriteMultiple);
    } else {
      // A coil takes a truth value, a plain register a whole number from 0 to 65535.
      const std::string number = TypedScalarText(value);
      int64_t v = -1;
      const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), v);
      const bool whole = ec == std::errc() && end == number.data() + number.size();
      const int64_t most = kind == PointAddress::Kind::Coil ? 1 : 0xFFFF;
      if (!whole || v < 0 || v > most)
        return {TypedErrorKind::InvalidArgs,
                "point \"" + text + "\" takes " +
                    (most == 1 ? std::string("true or false") : std::string("0 to 65535")) +
                    ", not " + number};
      request = WriteRequest(point.address, static_cast<int32_t>(v), engine->Site.WriteMultiple);
    }
    if (!request)
      return {TypedErrorKind::InvalidArgs,
              "point \"" + text + "\" cannot be written in one request"};
    job->writes.emplace_back(point, ForUnit(*request, point.address));
    job->texts.push_back(text);
  }
  if (job->writes.empty()) {
    done({});
    return {};
  }
  job->done = std::move(done);
  engine->RunOnLine(RunWrite(engine, job));
  return {};
}

TypedError TypedSites::Close(uint32_t siteId, const std::string& client) {
  const auto site = sites_.find(siteId);
  if (site == sites_.end())
    return {TypedErrorKind::UnknownObject, "no site " + std::to_string(siteId)};
  if (!site->second->holds.count(client))
    return {TypedErrorKind::AccessDenied,
            "site " + std::to_string(siteId) + " was not opened by this client"};
  Drop(siteId, client);
  return {};
}

void TypedSites::Drop(uint32_t siteId, const std::string& client) {
  const auto site = sites_.find(siteId);
  if (site == sites_.end()) return;
  const auto hold = site->second->holds.find(client);
  if (hold == site->second->holds.end()) return;
  // The engine may be on the stack (a read ending calls back here): its hold goes from the loop.
  std::shared_ptr<TQorModBusCom> object(std::move(hold->second.object));
  site->second->holds.erase(hold);
  loop_.Post([object] {});
  std::erase_if(site->second->subscriptions,
                [&client](const auto& entry) { return entry.second->client == client; });
  LogInfo("Client " + client + " let go of site " + std::to_string(siteId));
  if (site->second->holds.empty()) {
    // Announced while the object is still there to be described.
    if (OnSiteRemoved) OnSiteRemoved(siteId);
    sites_.erase(siteId);
  }
}

void TypedSites::ClientLeft(const std::string& client) {
  for (const uint32_t id : Sites()) Drop(id, client);
  for (const auto& open : std::vector(opening_))
    if (open->client == client) {
      opening_.erase(std::remove(opening_.begin(), opening_.end(), open), opening_.end());
      loop_.Post([object = std::shared_ptr<TQorModBusCom>(std::move(open->object))] {});
    }
}

std::optional<TypedSites::SiteView> TypedSites::View(uint32_t siteId) const {
  const auto found = sites_.find(siteId);
  if (found == sites_.end()) return std::nullopt;
  const Site& site = *found->second;
  SiteView view;
  view.description = site.description;
  const TModBusForm* engine = site.Engine();
  if (!engine) {
    view.state = "down";
    return view;
  }
  const TSite& s = engine->Site;
  view.transport = s.UseTCP           ? s.RTUOverTCP ? "rtu-tcp" : "tcp"
                   : !s.DirectConnect ? "modem"
                   : s.UseRTU         ? "rtu"
                                      : "ascii";
  view.endpoint =
      s.UseTCP ? s.IPAddress
               : "COM" + std::to_string(s.Comport) + " " + std::to_string(s.BaudRate) + " baud";
  const CommandSession& session = engine->Session;
  if (session.IsBlocked())
    view.state = "blocked";
  else if (s.OfflineMode)
    view.state = "offline";
  else if (engine->IsConnected())
    view.state = "online";
  else if (CommandUsesLine(session.CommandCode()))
    view.state = "connecting";
  else
    view.state = "down";
  view.lastError = engine->Log.CurrentCause();
  view.clients = static_cast<uint32_t>(session.Clients().size());
  return view;
}

}  // namespace qmb
