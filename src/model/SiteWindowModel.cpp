#include "model/SiteWindowModel.h"

#include <utility>

namespace qmb {

void SiteWindowModel::AddLogLine(std::string line) {
  LogMmo.push_back(std::move(line));
  LogAdded();
}

void SiteWindowModel::AddLogBytes(const char* prefix, std::string_view bytes) {
  LogMmo.PushBytes(prefix, bytes);
  LogAdded();
}

void SiteWindowModel::LogAdded() {
  while (LogMmo.size() > kMaxLogLines) LogMmo.pop_front();
  Changed();
}

void SiteWindowModel::ClearLog() {
  LogMmo.clear();
  Changed();
}

}  // namespace qmb
