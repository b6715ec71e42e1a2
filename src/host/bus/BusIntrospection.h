// The bus interfaces' names, the driver objects' paths and the interface description installed
// at registration. What hosts see when they introspect a live server comes from the server's
// object tables; a test holds the two together.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

namespace qmb {

inline constexpr const char* kFactoryInterfaceName = "QorModBus.ClassFactory";
inline constexpr const char* kDriverInterfaceName = "QorDevice.IQorDeviceDriver";
inline constexpr const char* kObjectInterfaceName = "QorModBus.IQorModBusCom";
inline constexpr const char* kDiagnosticsInterfaceName = "QorModBus.IQorModBusDiagnostics";
inline constexpr const char* kTraceInterfaceName = "QorModBus.IQorModBusTrace";

// The interface description as built into the program.
QString BuiltInIntrospectionXml();

// The number of a driver object path, or 0 when the path names none (numbers start at 1 and are
// written without leading zeros, so each object has exactly one path).
uint64_t ObjectNumber(std::string_view path);
std::string ObjectPath(uint64_t id);

}  // namespace qmb
