#include "request_log.h"

#include "base/base64.h"
#include "sim_text.h"

namespace sf::sim {
namespace {

std::string Text(std::string_view bytes) {
  if (IsStrictUtf8(bytes)) return JsonString(bytes);
  return "{\"base64\":\"" + sf::Base64Encode(bytes) + "\"}";
}

bool NameIs(std::string_view line, std::string_view name) {
  return line.size() > name.size() && line[name.size()] == ':' &&
         Lower(line.substr(0, name.size())) == Lower(name);
}

}  // namespace

std::string RequestRecord::Header(std::string_view name) const {
  for (const auto& line : headerLines) {
    if (!NameIs(line, name)) continue;
    std::string_view v = std::string_view(line).substr(name.size() + 1);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    return std::string(v);
  }
  return {};
}

int RequestRecord::CountHeader(std::string_view name) const {
  int n = 0;
  for (const auto& line : headerLines) n += NameIs(line, name) ? 1 : 0;
  return n;
}

std::string RequestRecord::Path() const {
  return target.substr(0, target.find('?'));
}

std::string RequestRecord::Query() const {
  size_t q = target.find('?');
  return q == std::string::npos ? std::string() : target.substr(q + 1);
}

std::string RecordToJsonLine(const RequestRecord& r) {
  std::string out = "{\"seq\":" + std::to_string(r.seq) + ",\"method\":" + Text(r.method) +
                    ",\"target\":" + Text(r.target) + ",\"version\":" + Text(r.version) +
                    ",\"headers\":[";
  for (size_t i = 0; i < r.headerLines.size(); ++i) out += (i ? "," : "") + Text(r.headerLines[i]);
  out += "],\"body\":" + Text(r.body) + ",\"status\":" + std::to_string(r.status) + "}";
  return out;
}

void RequestLog::Add(RequestRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  record.seq = next_++;
  if (file_.is_open()) {
    file_ << RecordToJsonLine(record) << '\n';
    file_.flush();
  }
  if (keep_) records_.push_back(std::move(record));
}

void RequestLog::SetKeepInMemory(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
  if (!keep) records_.clear();
}

std::vector<RequestRecord> RequestLog::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void RequestLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

bool RequestLog::OpenFile(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_.is_open()) file_.close();
  if (path.empty()) return true;
  file_.open(path, std::ios::binary | std::ios::app);
  if (!file_) {
    if (error) *error = "cannot open the request log " + path;
    return false;
  }
  return true;
}

}  // namespace sf::sim
