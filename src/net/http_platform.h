// The HTTP layer under the web client, shaped operation for operation like the platform HTTP
// interface the client was designed against: a session, a connection and a request handle,
// options set one by one, then send, receive, read and query the raw header block. The
// client's algorithm stays in the client; tests drive it through a recording fake of this
// interface, and the real implementation puts libcurl underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/cancel_flag.h"

namespace sf {

// No answer of the service comes near this; one that passes it (an endless or hostile one) is
// dropped, and the transfer ends there instead of filling the memory.
inline constexpr size_t kMaxAnswerBytes = size_t{32} << 20;

using HttpHandle = uintptr_t;  // 0 means "no handle"

inline constexpr int kSchemeHttp = 1;
inline constexpr int kSchemeHttps = 2;
inline constexpr int kAccessNoProxy = 1;
inline constexpr int kAccessNamedProxy = 3;
inline constexpr uint32_t kRequestFlagSecure = 0x00800000;
inline constexpr int kOptionDisableFeature = 63;
inline constexpr int kOptionEnableFeature = 79;
inline constexpr uint32_t kFeatureCookies = 1;  // with 63: no cookies; with 79: platform cookies on
inline constexpr uint32_t kFeatureRedirects = 2;  // with 63: no automatic redirects
inline constexpr int kAuthTargetServer = 0;
inline constexpr int kAuthTargetProxy = 1;
inline constexpr int kAuthSchemeBasic = 1;
inline constexpr uint32_t kAddHeadersAddReplace = 0xA0000000;

// What URL cracking gives back; path and extra are empty when the URL has none.
struct CrackedUrl {
  int scheme = 0;
  std::u16string host;
  int port = 0;
  std::u16string path;   // "/a/b"
  std::u16string extra;  // "?q=1" (and any "#fragment")
};

// Splits an absolute http or https URL; false for anything else. Ports default by scheme.
bool CrackHttpUrl(const std::u16string& url, CrackedUrl* out);

class HttpPlatform {
 public:
  virtual ~HttpPlatform() = default;

  virtual bool CheckPlatform() = 0;
  virtual bool CrackUrl(const std::u16string& url, CrackedUrl* out) = 0;
  virtual HttpHandle Open(int accessType, const std::u16string& proxyName) = 0;
  virtual HttpHandle Connect(HttpHandle session, const std::u16string& host, int port) = 0;
  virtual HttpHandle OpenRequest(HttpHandle connection, const std::u16string& method,
                                 const std::u16string& path, uint32_t flags) = 0;
  virtual bool SetTimeouts(HttpHandle request, int resolveMs, int connectMs, int sendMs,
                           int receiveMs) = 0;
  virtual bool SetCredentials(HttpHandle request, int target, int scheme,
                              const std::u16string& user, const std::u16string& password) = 0;
  virtual bool SetOption(HttpHandle request, int option, uint32_t value) = 0;
  // `headers`: lines separated by CRLF.
  virtual bool AddRequestHeaders(HttpHandle request, const std::u16string& headers,
                                 uint32_t flags) = 0;
  virtual bool SendRequest(HttpHandle request, const std::string& body) = 0;
  virtual bool ReceiveResponse(HttpHandle request) = 0;
  virtual bool QueryDataAvailable(HttpHandle request, uint32_t* available) = 0;
  virtual bool ReadData(HttpHandle request, char* buffer, uint32_t size, uint32_t* read) = 0;
  // The final response's status line and header lines, each ending in CRLF.
  virtual bool QueryRawHeaders(HttpHandle request, std::u16string* block) = 0;
  virtual void CloseHandle(HttpHandle handle) = 0;

  // The host name that sent the final response, once redirects have been followed; "" when
  // the layer cannot tell, which counts as the host the request was opened for.
  virtual std::u16string AnsweringHost(HttpHandle /*request*/) { return {}; }

  // Ties a request to `cancel` before it is sent. The platform interface gives a request up
  // when another thread closes its handle; a flag spares the two threads a race over it.
  virtual void SetCancelFlag(HttpHandle /*request*/, const CancelFlag& /*cancel*/) {}
};

}  // namespace sf
