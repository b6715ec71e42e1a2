// The link state of a site engine, read by every link, codec and polling operation.
#pragma once

#include <string>

#include "model/TypeSite.h"
#include "protocol/FrameCodec.h"
#include "protocol/Framing.h"

namespace qmb {

struct LinkFlags {
  bool TCPMode = false;    // Modbus/TCP instead of a serial line; taken when the site is assigned
  bool Offline = false;    // no link at all; taken at every open
  bool Connected = false;  // the link is up (or, offline, pretends to be)
  bool Dialling = false;   // a modem dial is in progress
  // Why the serial port of an open site is down while it is being reopened; empty while it is
  // up. Status reports and failed sends say so.
  std::string PortLost;
};

// The framing a site's exchanges take: the one place that reads it off the site; everything
// past it goes by the framing table.
inline Framing SiteFraming(const TSite& site, const LinkFlags& flags) {
  if (flags.TCPMode) return site.RTUOverTCP ? Framing::RTUOverTCP : Framing::TCP;
  return site.UseRTU ? Framing::RTU : Framing::ASCII;
}

inline const FramingEntry& SiteFramingEntry(const TSite& site, const LinkFlags& flags) {
  return FramingFor(SiteFraming(site, flags));
}

// Point addresses as the site's link writes them: with a host and no slave prefix where requests
// travel on a TCP stream.
inline bool HostAddresses(const TSite& site, const LinkFlags& flags) {
  return SiteFramingEntry(site, flags).OnStream();
}

// A point's slave prefix addresses its device: on a serial line, with RTU frames over TCP, and on
// Modbus/TCP when the site takes the unit from the point (TCPUNIT=POINT).
inline bool SlaveAddressed(const TSite& site, const LinkFlags& flags) {
  return site.UnitFromPoint || SiteFramingEntry(site, flags).FixedUnit < 0;
}

// The address a request for a point's slave carries: the slave itself where it addresses the
// device, the framing's fixed unit (FF on Modbus/TCP) otherwise.
inline int32_t SiteUnit(const TSite& site, const LinkFlags& flags, int32_t slave) {
  return SlaveAddressed(site, flags) ? slave : SiteFramingEntry(site, flags).FixedUnit;
}

}  // namespace qmb
