#include "host/bus/BusIntrospection.h"

#include <QFile>

#include "host/Registration.h"

namespace qmb {

QString BuiltInIntrospectionXml() {
  QFile file(QStringLiteral(":/qormodbus/QorModBus.QorModBusCom.xml"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

uint64_t ObjectNumber(std::string_view path) {
  const std::string_view prefix = kFactoryPath;
  if (path.size() <= prefix.size() + 1 || !path.starts_with(prefix) || path[prefix.size()] != '/')
    return 0;
  const std::string_view digits = path.substr(prefix.size() + 1);
  if (digits.size() > 19 || digits.front() == '0') return 0;
  uint64_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return number;
}

std::string ObjectPath(uint64_t id) {
  return std::string(kFactoryPath) + "/" + std::to_string(id);
}

}  // namespace qmb
