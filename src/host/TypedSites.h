// The typed host interface: sites opened from named, typed options; reads and writes that are
// answered once, with values typed by their address; site state as plain values. It sits beside
// the design's driver objects on the same engines: a typed host and a design host that open the
// same description share one engine, its lock and its Block switch. Each client's hold on a site
// is a driver object of its own inside, so the engine counts, locks and releases it as it does
// any host. Reads and writes take the line as soon as it is free (DirectExchange), not at the
// pace of the tick. No bus here: the bus adaptor and in-process hosts both drive it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "host/QorModBusCom.h"
#include "platform/MessageLoop.h"
#include "protocol/PointAddress.h"
#include "sites/EngineRegistry.h"

namespace qmb {

// A value as typed hosts see it; the alternative follows the point's address (a coil or an input
// is a bool, a plain register a uint16_t, a typed register its type's own).
using TypedScalar = std::variant<bool, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t,
                                 uint64_t, double, std::string>;

// The D-Bus type character of each TypedScalar alternative, in order: "bynqiuxtds".
inline constexpr const char* kTypedScalarSignatures = "bynqiuxtds";

// A value as text, as the value codec reads and writes it: integers in decimal, a bit as 1 or 0,
// a double in the shortest text that reads back to it ("NaN", "Infinity", "-Infinity").
std::string TypedScalarText(const TypedScalar& value);

struct TypedReading {
  TypedScalar value = uint16_t{0};
  uint64_t timeUs = 0;   // when it was read, microseconds since the epoch
  uint32_t quality = 0;  // 192 good, 0 bad
  std::string error;     // why it is bad; empty when good
};

enum class TypedErrorKind {
  None,
  InvalidArgs,
  UnknownObject,
  NotConnected,
  Locked,
  Timeout,
  Exception,
  WriteFailed,
  AccessDenied,
  LimitsExceeded,
};

struct TypedError {
  TypedErrorKind kind = TypedErrorKind::None;
  std::string text;
  explicit operator bool() const { return kind != TypedErrorKind::None; }
};

// What a typed read would give for the address: the type it is read as (its TypedScalar index)
// and how many registers or bits it spans; an error text for an address that names no value.
struct TypedPoint {
  PointAddress address;
  std::optional<TypedLayout> layout;  // registers decoded by type; none: one register or bit
  size_t valueIndex = 0;              // TypedScalar alternative
};
std::variant<TypedPoint, std::string> ParseTypedPoint(const std::string& text, bool tcpMode);

// The open options as the typed interface names them, turned into the driver's open list;
// an error text naming the option that is unknown or unusable.
using TypedOptions = std::map<std::string, TypedScalar>;
std::variant<Variant, std::string> TypedOpenList(const TypedOptions& options, bool siteExists);

class TypedSites {
 public:
  TypedSites(TMainForm& mainForm, MessageLoop& loop);
  ~TypedSites();
  TypedSites(const TypedSites&) = delete;
  TypedSites& operator=(const TypedSites&) = delete;

  // Sites one client may hold open through this interface.
  static constexpr size_t kMaxSitesPerClient = ClientSites::kMaxSitesPerClient;

  using OpenDone = std::function<void(uint32_t site, const TypedError& error)>;
  using ReadDone = std::function<void(std::vector<TypedReading> readings, const TypedError&)>;
  using WriteDone = std::function<void(const TypedError& error)>;

  // Opens (or joins) the site for the client; done once the link is up or the open failed. An
  // error returned here means done is never called.
  TypedError Open(const std::string& client, const TypedOptions& options, OpenDone done);
  TypedError Read(uint32_t site, const std::string& client, const std::vector<std::string>& points,
                  uint32_t maxAgeMs, ReadDone done);
  TypedError Write(uint32_t site, const std::string& client,
                   const std::vector<std::pair<std::string, TypedScalar>>& values, WriteDone done);
  TypedError Close(uint32_t site, const std::string& client);

  // Subscriptions: the site reads the points once every interval (at most; a read cycle that
  // takes longer sets the pace) and reports what changed beyond the deadband, batched, one
  // report per read cycle; the first report carries every point.
  struct SubscribeOptions {
    uint32_t intervalMs = 100;
    double deadband = 0;
    std::vector<double> deadbands;  // per point, in the points' order; missing ones: deadband
  };
  static constexpr uint32_t kMinIntervalMs = 10;
  static constexpr size_t kMaxSubscriptionsPerClient = 64;
  // (index into the subscribed points, its reading)
  using Changes = std::vector<std::pair<uint32_t, TypedReading>>;
  TypedError Subscribe(uint32_t site, const std::string& client,
                       const std::vector<std::string>& points, const SubscribeOptions& options,
                       uint32_t& subscription);
  TypedError Unsubscribe(uint32_t site, uint32_t subscription, const std::string& client);
  bool SubscriptionExists(uint32_t site, uint32_t subscription) const;
  std::function<void(uint32_t site, uint32_t subscription, const std::string& client,
                     const Changes& changes)>
      OnChanged;
  // An in-process host takes its clients' changes here, in place of OnChanged (the bus's).
  using ChangeSink = std::function<void(uint32_t site, uint32_t subscription, const Changes&)>;
  void SetChangeSink(const std::string& client, ChangeSink sink);
  // The site's exchange counts (requests, replies, timeouts, checksum errors, exceptions).
  std::map<std::string, uint64_t> Counters(uint32_t site) const;
  // The client has left: its holds go.
  void ClientLeft(const std::string& client);

  struct SiteView {
    std::string description;
    std::string transport;
    std::string endpoint;
    std::string state;  // connecting, online, offline, down, blocked
    std::string lastError;
    uint32_t clients = 0;
  };
  std::optional<SiteView> View(uint32_t site) const;
  std::vector<uint32_t> Sites() const;
  bool Exists(uint32_t site) const { return sites_.count(site) != 0; }
  bool HasClient(const std::string& client) const;
  // Site and subscription numbers handed out so far (never reused within the process).
  uint32_t SitesOpened() const { return nextSite_ - 1; }
  uint32_t SubscriptionsMade() const { return nextSubscription_ - 1; }

  // A site object came or went (its first hold was made, its last let go).
  std::function<void(uint32_t site)> OnSiteAdded;
  std::function<void(uint32_t site)> OnSiteRemoved;

 private:
  struct Site;
  struct Hold;
  struct PendingOpen;
  struct Subscription;

  void StartCycle(uint32_t site, uint32_t subscription);
  void Cycled(uint32_t site, uint32_t subscription, std::vector<TypedReading> readings);

  // The caller's hold on the site, or the error (no such site, another client's).
  TModBusForm* Usable(uint32_t site, const std::string& client, TypedError& error);
  void PollOpen(const std::shared_ptr<PendingOpen>& open);
  void FinishOpen(const std::shared_ptr<PendingOpen>& open, const TypedError& error);
  void Drop(uint32_t site, const std::string& client);

  TMainForm& mainForm_;
  MessageLoop& loop_;
  std::map<uint32_t, std::unique_ptr<Site>> sites_;
  std::vector<std::shared_ptr<PendingOpen>> opening_;
  std::map<std::string, ChangeSink> sinks_;
  std::unique_ptr<Timer> openTimer_;
  uint32_t nextSite_ = 1;
  uint32_t nextSubscription_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qmb
