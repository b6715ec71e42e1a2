// The part of a site's link that differs between a serial line (direct, or a modem's call) and a
// Modbus/TCP stream, behind one interface, as the exchange link is for a single exchange: how
// the link comes up and goes down, what a failed serial port means to it, and how the window and
// the status report show it. The connection manager keeps one of each and picks the site's when
// the site is assigned; from then on it, and the site's commands, go by the one picked and never
// ask which it is.
#pragma once

#include <string>

#include "engine/CommandSession.h"
#include "engine/LinkFlags.h"
#include "model/SiteWindowModel.h"
#include "model/TypeSite.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "platform/Variant.h"
#include "protocol/Framing.h"

namespace qmb {

class SiteTransport {
 public:
  // What every transport works with.
  struct Common {
    TSite& site;
    LinkFlags& flags;
    CommandSession& session;
    SiteWindowModel& model;
    const Logger& log;
  };

  virtual ~SiteTransport() = default;
  SiteTransport(const SiteTransport&) = delete;
  SiteTransport& operator=(const SiteTransport&) = delete;

  // Points the link at the site just assigned.
  virtual void Assign() = 0;
  // A host's open that has the session, the site not offline: brings the link up, or starts the
  // link command that does; a failure is the session's result.
  virtual void Open() = 0;
  // An open while another client holds the session, the site not offline: true when the link
  // is (or is coming) up and is shared now, false when the open has to wait for the session.
  virtual bool OpenAside() = 0;
  // Link commands, the work of one process tick each. The connect step runs with the link up.
  virtual Task<void> ConnectStep() = 0;
  virtual Task<void> DialStep() = 0;
  virtual Task<void> DisconnectStep() = 0;
  // A host's close, refused or not: a connection the next request makes again is let go now.
  virtual void DropConnection() = 0;
  // Closes the serial port at once: this runs inside host calls and while the engine is
  // destroyed, where nothing may wait.
  virtual void ClosePort() = 0;
  // The serial port failed (device unplugged, far end gone): what that means for the link. The
  // caller has logged it in the window, and shows the port labels again after.
  virtual void PortFailed(const std::string& reason) = 0;
  // Every process tick: a serial port that should be open and is not is reopened, a modem call
  // whose carrier went is lost.
  virtual void WatchPort() = 0;
  // A modem call that was lost, and the dial that brings it back for a host's command.
  virtual bool CallLost() const = 0;
  virtual Task<void> Redial() = 0;
  // The window's port labels.
  virtual void ShowPort() = 0;
  // The status report's lines about the link (from line 4 on).
  virtual void Describe(SafeArray& status) const = 0;

 protected:
  explicit SiteTransport(Common common)
      : site_(common.site),
        flags_(common.flags),
        session_(common.session),
        model_(common.model),
        log_(common.log) {}

  const FramingEntry& SiteFramingEntry() const { return qmb::SiteFramingEntry(site_, flags_); }
  // Fails the open with the text hosts are shown; the log names the cause (the text itself when
  // there is nothing more to say).
  void FailStart(const std::string& error, const std::string& cause = {});
  void ShowCaption();

  TSite& site_;
  LinkFlags& flags_;
  CommandSession& session_;
  SiteWindowModel& model_;
  const Logger& log_;
};

// The window's caption: the site's description, marked while the site is offline.
void ShowCaption(SiteWindowModel& model, const TSite& site, const LinkFlags& flags);

// The transport of the site just assigned, out of the two an engine keeps; the link flags take
// the site's TCP mode with it. The one place the choice between them is made.
SiteTransport& PickTransport(const TSite& site, LinkFlags& flags, SiteTransport& serial,
                             SiteTransport& modbusTcp);

}  // namespace qmb
