// The HTTP layer under the plain request client, shaped like the second platform HTTP
// interface it was designed against (ANSI texts, handed over as they are): an internet
// handle, a connection, a request, one send, reads of up to 1024 bytes, a raw header query.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/http_platform.h"

namespace sf {

inline constexpr int kInetOpenDirect = 1;
inline constexpr int kInetOpenProxy = 3;
inline constexpr int kInetServiceHttp = 3;
inline constexpr int kInetQueryRawHeadersCrlf = 22;
inline constexpr uint32_t kInetFlagReload = 0x80000000;
inline constexpr uint32_t kInetFlagNeedFile = 0x10;
inline constexpr uint32_t kInetFlagNoCookies = 0x80000;
inline constexpr uint32_t kInetFlagNoAutoRedirect = 0x200000;
inline constexpr uint32_t kInetFlagSecure = 0x800000;
inline constexpr uint32_t kInetFlagIgnoreRedirectToHttps = 0x4000;

class InetPlatform {
 public:
  virtual ~InetPlatform() = default;
  virtual HttpHandle InternetOpen(const std::string& agent, int accessType,
                                  const std::string& proxy, const std::string& bypass) = 0;
  virtual HttpHandle InternetConnect(HttpHandle internet, const std::string& host, int port,
                                     int service) = 0;
  virtual HttpHandle HttpOpenRequest(HttpHandle connection, const std::string& method,
                                     const std::string& path, const std::string& version,
                                     uint32_t flags) = 0;
  virtual bool HttpSendRequest(HttpHandle request, const std::string& headers,
                               const std::string& data) = 0;
  virtual bool InternetReadFile(HttpHandle request, char* buffer, uint32_t size,
                                uint32_t* read) = 0;
  // Fills `buffer` with the raw header block and a terminating zero; false when it does not
  // fit `*size` bytes.
  virtual bool HttpQueryInfo(HttpHandle request, int level, char* buffer, uint32_t* size) = 0;
  virtual void InternetCloseHandle(HttpHandle handle) = 0;
  // Ties a request to `cancel` before it is sent, as the web client's layer does.
  virtual void SetCancelFlag(HttpHandle /*request*/, const CancelFlag& /*cancel*/) {}
};

std::shared_ptr<InetPlatform> DefaultInetPlatform();

}  // namespace sf
