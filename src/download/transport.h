#pragma once

// One GET of an address, as the download logic sees it. The system's HTTP
// stack and local files implement it; tests script it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/result.h"

namespace loftswitch {

struct FetchRequest {
  std::string url;  // an address parseUrl accepts
  // When not 0: only the bytes from here on ("Range: bytes=<from>-"), and
  // only while `ifRange` (an ETag or a Last-Modified date) still holds.
  std::uint64_t rangeFrom = 0;
  std::string ifRange;
};

struct FetchResponse {
  int status = 0;  // the HTTP status; 200 for a local file
  std::optional<std::uint64_t> length;  // Content-Length, when the answer has one
  std::string etag, lastModified, location, contentRange;
};

// A response whose body is being read.
class Exchange {
 public:
  virtual ~Exchange() = default;
  virtual const FetchResponse& response() const = 0;
  // Reads body bytes: how many, 0 at the end of the body. A failure that may
  // pass (a reset, a time-out) is `unavailable`.
  [[nodiscard]] virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends the request and reads the answer's head; redirects are answers
  // like any other. Failures are `unavailable` when worth another try,
  // `fetchFailed` when not.
  [[nodiscard]] virtual Result<std::unique_ptr<Exchange>> open(const FetchRequest& request) = 0;
};

// Local files and file: URLs. Ranges are not served: a resume starts over,
// which for a local copy costs little.
class FileTransport final : public Transport {
 public:
  [[nodiscard]] Result<std::unique_ptr<Exchange>> open(const FetchRequest& request) override;
};

// http and https through the system's HTTP stack (its proxy settings and
// certificate store); local addresses through FileTransport.
std::unique_ptr<Transport> makeSystemTransport();

}  // namespace loftswitch
