#include "engine/PointTable.h"

#include <exception>
#include <memory_resource>
#include <string>
#include <unordered_map>

#include "platform/Log.h"
#include "platform/ParamList.h"
#include "platform/TextHelpers.h"

namespace qmb {

std::vector<std::string> BraceGroups(const std::string& text, int count) {
  std::vector<std::string> groups;
  int start = 0;
  for (int i = 0; i < count; ++i) {
    groups.push_back(TextBetween(text, '{', '}', start));
    start += static_cast<int>(groups.back().size()) + 2;
  }
  return groups;
}

void SplitPointEntry(const std::string& entry, std::string& first, std::string& second) {
  second.clear();
  first = TextBetween(entry, '{', '}', 0);
  second = TextBetween(entry, '{', '}', static_cast<int>(first.size()) + 2);
}

int32_t PointTable::IndexOf(const std::string& key) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (SameTextIgnoringCase(entries_[i].Key, key)) return static_cast<int32_t>(i);
  return -1;
}

const PointAddress* PointTable::Address(size_t position, bool tcpMode) {
  Entry& entry = entries_.at(position);
  const int8_t mode = tcpMode ? 1 : 0;
  if (entry.ParsedAs != mode) {
    entry.Parsed = ParsePointAddress(entry.Key, tcpMode);
    entry.ParsedAs = mode;
  }
  return entry.Parsed ? &*entry.Parsed : nullptr;
}

void PointTable::ClearPolledFlags() {
  for (auto& entry : entries_) entry.Data->Polled = false;
}

bool PointTable::DueForRead(size_t position, int64_t now) const {
  const TPointData& point = Data(position);
  return point.FailureCount <= kSkipAfterFailures || now >= point.RetryAt;
}

bool PointTable::CountFailedRead(size_t position, int64_t now) {
  TPointData& point = Data(position);
  if (++point.FailureCount <= kSkipAfterFailures) return false;
  point.RetryAt = now + kDroppedRetryTicks;
  return point.FailureCount == kSkipAfterFailures + 1;
}

void PointTable::SetPointValue(int32_t position, std::string value, bool typed) {
  if (pointsChanged_ || position < 0 || static_cast<size_t>(position) >= entries_.size()) return;
  if (!typed && StartsWithIgnoringCase(value, "ON")) value = "TRUE";
  if (!typed && StartsWithIgnoringCase(value, "OFF")) value = "FALSE";
  TPointData& point = *entries_[static_cast<size_t>(position)].Data;
  point.Value = std::move(value);
  point.HasValue = true;
  point.Polled = true;
  point.FailureCount = 0;
  ++storedValues_;
}

void PointTable::RebuildPointTable() {
  try {
    // Keys compare ignoring letter case; hosts may register a hundred thousand points, so the
    // merge finds keys by their upper-case form in a table sized once, whose nodes come from one
    // arena and go with it.
    size_t listed = 0;
    for (const auto& [description, client] : session_.Clients())
      listed += client->PointsList.size();
    std::pmr::monotonic_buffer_resource arena;
    std::pmr::unordered_map<std::string, size_t> positions(listed, &arena);
    std::vector<Entry> merged;
    merged.reserve(listed);
    for (const auto& [description, client] : session_.Clients()) {
      try {
        for (const std::string& text : client->PointsList) {
          if (text.empty()) continue;
          std::string label, key;
          SplitPointEntry(text, label, key);
          if (key.empty() || !positions.try_emplace(UpperCase(key), merged.size()).second) continue;
          merged.push_back({std::move(key), std::make_unique<TPointData>(), {}, -1});
        }
      } catch (const std::exception& e) {
        LogDebug(std::string("Point list of a client skipped: ") + e.what());
      }
    }
    // Values and failure counts survive a rebuild for keys that remain (the old table holds each
    // key once).
    for (const Entry& old : entries_) {
      const auto kept = positions.find(UpperCase(old.Key));
      if (kept == positions.end()) continue;
      TPointData& data = *merged[kept->second].Data;
      data.Value = old.Data->Value;
      data.HasValue = old.Data->HasValue;
      data.Polled = old.Data->Polled;
      data.FailureCount = old.Data->FailureCount;
    }
    entries_ = std::move(merged);
  } catch (const std::exception& e) {
    LogDebug(std::string("Point table rebuild stopped: ") + e.what());
  }
  pointsChanged_ = true;
}

bool PointTable::CollectPoints(EngineClient& client, const Variant& params, std::string& refusal) {
  std::vector<std::string> points;
  try {
    GetNumberedParams(params, "POINT", points, kMaxPointsPerList + 1);
  } catch (...) {
    client.PointsList = std::move(points);  // what came before the unreadable element
    throw;
  }
  if (points.size() > kMaxPointsPerList) {
    refusal = "Point list refused: more than " + std::to_string(kMaxPointsPerList) +
              " points (the most one list may hold)";
    return false;
  }
  client.PointsList = std::move(points);
  return true;
}

bool PointTable::SendPointsListNow(EngineClient* client, const Variant& params) {
  if (!client) return false;
  std::string refusal;
  try {
    if (!CollectPoints(*client, params, refusal)) {
      log_.Cause(refusal);
      return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  RebuildPointTable();
  return true;
}

void PointTable::SendPointsList() {
  // The owner may have gone since the command was accepted: there is no list to take then.
  EngineClient* owner = nullptr;
  for (const auto& [description, client] : session_.Clients())
    if (client == session_.CommandOwner()) owner = client;
  std::string refusal;
  try {
    if (!owner) throw std::runtime_error("the client left");
    if (!CollectPoints(*owner, session_.CommandParams(), refusal)) {
      log_.Cause(refusal);
      session_.FailCommand(refusal);
      return;
    }
  } catch (const std::exception&) {
    session_.EndCommand(kStateFailed);
    return;
  }
  RebuildPointTable();
  session_.EndCommand(kStateDone);
}

void PointTable::GetPointsList() {
  std::vector<std::string> texts;
  try {
    for (const Entry& entry : entries_) {
      const TPointData& point = *entry.Data;
      if (!point.HasValue || point.HoldUntil != 0.0) continue;
      texts.push_back("POINT" + std::to_string(texts.size()) + "={" + entry.Key +
                      "}{VALUE=" + point.Value + "}");
    }
  } catch (const std::exception&) {
    // A report of what could be listed is still a report.
  }
  session_.SetResult(Variant(SafeArray::OfTexts(texts)));
  session_.EndCommand(kStateDone);
}

void PointTable::PointVerify(bool tcpMode, bool typed, bool slaveAddressed) {
  try {
    std::string name, address, why;
    GetParamStr(session_.CommandParams(), "POINTNAME", name);
    GetParamStr(session_.CommandParams(), "POINTADDRESS", address);
    auto point = ParsePointAddress(address, tcpMode, &why);
    const auto layout = point && typed ? TypedLayoutOf(*point) : std::nullopt;
    if (layout) why = TypedLayoutError(*layout);
    if (!why.empty()) {
      log_.Cause("bad address \"" + address + "\": " + why);
      point.reset();
    }
    if (point) {
      session_.SetErrorText({});
      SafeArray result(ElementType::Text, 0, 2);
      result.Put(0, Variant(MakeParam("POINTNAME", name)));
      result.Put(1, Variant(MakeParam("POINTADDRESS",
                                      FormatPointAddress(*point, tcpMode, slaveAddressed))));
      session_.SetResult(Variant(std::move(result)));
      session_.EndCommand(kStateDone);
      return;
    }
  } catch (const std::exception&) {
    // Falls through to the invalid-address answer.
  }
  session_.SetErrorText(kInvalidAddress);
  SafeArray result(ElementType::Text, 0, 1);
  result.Put(0, Variant(MakeParam("ERRORSTRING", kInvalidAddress)));
  session_.SetResult(Variant(std::move(result)));
  session_.EndCommand(kStateFailed);
}

}  // namespace qmb
