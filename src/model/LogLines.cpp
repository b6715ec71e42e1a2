#include "model/LogLines.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/TextHelpers.h"

namespace qmb {

const std::string& LogLines::Line::Text() const {
  if (prefix) {
    std::string line;
    line.reserve(std::strlen(prefix) + 4 * text.size());
    line = prefix;
    AppendBracketHex(line, text);
    text = std::move(line);
    prefix = nullptr;
  }
  return text;
}

LogLines::LogLines(std::initializer_list<std::string> lines) {
  *this = lines;
}

LogLines& LogLines::operator=(std::initializer_list<std::string> lines) {
  lines_.clear();
  for (const std::string& line : lines) push_back(line);
  return *this;
}

void LogLines::push_back(std::string line) {
  lines_.push_back({std::move(line), nullptr});
}

void LogLines::PushBytes(const char* prefix, std::string_view bytes) {
  lines_.push_back({std::string(bytes), prefix});
}

bool operator==(const LogLines& a, const LogLines& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool operator==(const LogLines& a, const std::deque<std::string>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace qmb
