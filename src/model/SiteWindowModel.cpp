#include "model/SiteWindowModel.h"

namespace qmb {

void SiteWindowModel::AddLogLine(const std::string& line) {
  LogMmo.push_back(line);
  if (LogMmo.size() > kMaxLogLines)
    LogMmo.erase(LogMmo.begin(), LogMmo.begin() + static_cast<long>(LogMmo.size() - kMaxLogLines));
  Changed();
}

void SiteWindowModel::ClearLog() {
  LogMmo.clear();
  Changed();
}

}  // namespace qmb
