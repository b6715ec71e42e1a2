#include "host/bus/BusIntrospection.h"

#include <QFile>

#include "host/Registration.h"

namespace qmb {

namespace {

const char* const kStandardInterfaces =
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\">\n"
    "      <arg name=\"xml_data\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
    "    <method name=\"Ping\"/>\n"
    "    <method name=\"GetMachineId\">\n"
    "      <arg name=\"machine_uuid\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n";

// The <interface> element of the given name, as it stands in the document.
QString InterfaceElement(const QString& document, const char* name) {
  const QString open = QStringLiteral("<interface name=\"%1\">").arg(QLatin1String(name));
  const qsizetype start = document.indexOf(open);
  if (start < 0) return {};
  const QString close = QStringLiteral("</interface>");
  const qsizetype end = document.indexOf(close, start);
  if (end < 0) return {};
  return QStringLiteral("  ") + document.mid(start, end + close.size() - start) + QLatin1Char('\n');
}

}  // namespace

QString BuiltInIntrospectionXml() {
  QFile file(QStringLiteral(":/qormodbus/QorModBus.QorModBusCom.xml"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

uint64_t ObjectNumber(const QString& path) {
  const QString prefix = QString::fromLatin1(kFactoryPath) + QLatin1Char('/');
  if (!path.startsWith(prefix)) return 0;
  const QString digits = path.mid(prefix.size());
  if (digits.isEmpty() || digits.size() > 19 || digits.at(0) == QLatin1Char('0')) return 0;
  uint64_t number = 0;
  for (const QChar c : digits) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return 0;
    number = number * 10 + static_cast<uint64_t>(c.unicode() - '0');
  }
  return number;
}

QString ObjectPath(uint64_t id) {
  return QString::fromLatin1(kFactoryPath) + QLatin1Char('/') + QString::number(id);
}

BusIntrospection::BusIntrospection(const QString& introspectionXml)
    : factoryInterfaces_(InterfaceElement(introspectionXml, kFactoryInterfaceName) +
                         InterfaceElement(introspectionXml, kTraceInterfaceName)),
      driverInterfaces_(InterfaceElement(introspectionXml, kDriverInterfaceName) +
                        InterfaceElement(introspectionXml, kObjectInterfaceName) +
                        InterfaceElement(introspectionXml, kDiagnosticsInterfaceName)) {}

QString BusIntrospection::Interfaces(const QString& path) const {
  if (path == QLatin1String(kFactoryPath)) return factoryInterfaces_;
  return ObjectNumber(path) ? driverInterfaces_ : QString();
}

QString BusIntrospection::Document(const QString& path,
                                   const std::vector<uint64_t>& objects) const {
  QString xml = QStringLiteral(
      "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
  xml += Interfaces(path);
  xml += QLatin1String(kStandardInterfaces);
  if (path == QLatin1String(kFactoryPath))
    for (const uint64_t id : objects) xml += QStringLiteral("  <node name=\"%1\"/>\n").arg(id);
  xml += QStringLiteral("</node>\n");
  return xml;
}

}  // namespace qmb
