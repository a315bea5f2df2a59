// Every request the simulator receives, kept in memory for tests in the same process and,
// when asked, appended to a file as JSON lines (format in README.md).
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sf::sim {

struct RequestRecord {
  uint64_t seq = 0;  // 1, 2, ... in the order the simulator answered
  std::string method;
  std::string target;  // raw, as in the request line
  std::string version;
  std::vector<std::string> headerLines;  // in arrival order, without CRLF
  std::string body;                      // raw bytes
  int status = 0;                        // the HTTP status answered

  // First value of header `name` (case-insensitive); empty when absent.
  std::string Header(std::string_view name) const;
  int CountHeader(std::string_view name) const;
  std::string Path() const;   // the target up to "?"
  std::string Query() const;  // the target after "?"
};

// One JSON line for a record (no line break). Texts that are not valid UTF-8 are written as
// {"base64":"..."} instead of a JSON string.
std::string RecordToJsonLine(const RequestRecord& record);

class RequestLog {
 public:
  void Add(RequestRecord record);
  std::vector<RequestRecord> Records() const;
  void Clear();
  // Appends every later record to `path`; an empty path stops appending.
  bool OpenFile(const std::string& path, std::string* error);
  // Off: records go to the file only, so a long-running simulator does not grow.
  void SetKeepInMemory(bool keep);

 private:
  mutable std::mutex mutex_;
  uint64_t next_ = 1;
  bool keep_ = true;
  std::vector<RequestRecord> records_;
  std::ofstream file_;
};

}  // namespace sf::sim
