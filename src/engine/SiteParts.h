// The parts of a site engine that its point readers and writers work with: the poller, the fast
// scan and the point commands each take them at construction.
#pragma once

#include "engine/CommandSession.h"
#include "engine/LinkFlags.h"
#include "engine/PointTable.h"
#include "engine/TransactionEngine.h"
#include "links/SerialLine.h"
#include "links/TcpLink.h"
#include "model/TypeSite.h"
#include "platform/DelayClock.h"
#include "platform/Log.h"
#include "protocol/FrameCodec.h"

namespace qmb {

struct SiteParts {
  const TSite& site;
  const LinkFlags& flags;
  CommandSession& session;
  PointTable& points;
  SerialLine& line;
  TransactionEngine& transactions;
  TcpLink& tcp;
  DelayClock& delay;
  const Logger& log;
};

}  // namespace qmb
