// What a site engine needs from the program around it.
#pragma once

#include "platform/DelayClock.h"
#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"
#include "platform/TcpClient.h"

namespace qmb {

class TModBusForm;

// The registry that owns the engines (the main window).
class EngineOwner {
 public:
  virtual ~EngineOwner() = default;
  // The engine is being destroyed: drop its registry entry.
  virtual void RemoveEngine(TModBusForm* engine) = 0;
  // The engine's last client has left: destroy it once the current event has been handled.
  virtual void ReleaseEngine(TModBusForm* engine) = 0;
};

struct EngineServices {
  MessageLoop& loop;
  Clock& clock;
  DelayClock& delay;
  EngineOwner& owner;
  SerialPortFactory& serialPorts;
  TcpClientFactory& tcpClients;
};

}  // namespace qmb
