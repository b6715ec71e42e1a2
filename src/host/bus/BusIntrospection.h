// What both bus adaptors (QtDBus and sd-bus) say alike: the interface names, the object paths
// and the introspection documents built from the installed XML, so that a host cannot tell
// which library serves it.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace qmb {

inline constexpr const char* kFactoryInterfaceName = "QorModBus.ClassFactory";
inline constexpr const char* kDriverInterfaceName = "QorDevice.IQorDeviceDriver";
inline constexpr const char* kObjectInterfaceName = "QorModBus.IQorModBusCom";
inline constexpr const char* kDiagnosticsInterfaceName = "QorModBus.IQorModBusDiagnostics";
inline constexpr const char* kTraceInterfaceName = "QorModBus.IQorModBusTrace";

// The server's introspection XML as built into the program.
QString BuiltInIntrospectionXml();

// The number of a driver object path, or 0 when the path names none (numbers start at 1 and are
// written without leading zeros, so each object has exactly one path).
uint64_t ObjectNumber(const QString& path);
QString ObjectPath(uint64_t id);

class BusIntrospection {
 public:
  explicit BusIntrospection(const QString& introspectionXml);

  // The interface elements of the object at path (empty for a path that names none).
  QString Interfaces(const QString& path) const;
  // The whole answer to Introspect: the path's interfaces, the standard ones, and on the factory
  // object the driver objects alive below it.
  QString Document(const QString& path, const std::vector<uint64_t>& objects) const;

 private:
  QString factoryInterfaces_;
  QString driverInterfaces_;
};

}  // namespace qmb
