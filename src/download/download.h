#pragma once

// Fetching a package whose size and SHA-256 were signed: resumably, never
// past its size, retrying what may pass and nothing else. And fetching
// small documents, such as a feed, whole.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "download/transport.h"
#include "elevated/sha256.h"
#include "package/progress.h"

namespace loftswitch {

// Tries of one fetch when failures may pass (resets, time-outs, 5xx
// answers), with pauses of 0.5, 1, 2 and 4 s between them; a try that
// brought bytes starts the count again. Redirects followed per try.
inline constexpr int kFetchTries = 5;
inline constexpr int kMaxRedirects = 5;

struct DownloadTarget {
  std::string url;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  bool allowHttp = false;  // plain http beyond the loopback address
};

// What ties a partial file's bytes to one version of the resource at one
// address; without a validator nothing is resumed.
struct ResumeState {
  std::string url;
  std::string etag;          // a strong ETag, quotes included
  std::string lastModified;  // when the server gave no strong ETag
};

// The file a download writes, kept between tries and between calls.
class PartialFile {
 public:
  virtual ~PartialFile() = default;
  [[nodiscard]] virtual Result<std::uint64_t> size() = 0;
  // Cuts the file to `size` bytes; writes go on from there.
  [[nodiscard]] virtual Result<Unit> truncate(std::uint64_t size) = 0;
  [[nodiscard]] virtual Result<Unit> write(std::span<const std::uint8_t> bytes) = 0;
  [[nodiscard]] virtual Result<Unit> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
};

struct DownloadHooks {
  std::function<void(std::uint64_t ms)> sleep;
  // Called when a fresh body is about to be written, before its first byte,
  // so that a later call can resume it.
  std::function<Result<Unit>(const ResumeState&)> saveResume;
  // Bytes in the file of the signed size: first what an earlier try left,
  // then about every MiB, then the size; lower again only after a fresh
  // start. Returning false stops the download (`stoppedByCaller()`).
  ByteProgress progress;
};

struct DownloadReport {
  std::uint64_t kept = 0;  // bytes an earlier call left that were kept
  int resumes = 0;         // range requests this call made that were honoured
  int freshStarts = 0;     // bytes dropped: a range refused, a validator changed
  int retries = 0;
};

// Fetches `target` into `file`, resuming what an earlier call left when
// `earlier` validates it. Fails with `sizeMismatch` when the server's
// resource is not of the signed size (no byte past it is ever written) and
// `digestMismatch` when its bytes are not the signed ones: the caller then
// removes the file. Network failures are `unavailable` (retries spent) or
// `fetchFailed`; a stop asked by `progress` keeps the file for a resume.
[[nodiscard]] Result<DownloadReport> downloadInto(Transport& transport, PartialFile& file,
                                                  const DownloadTarget& target,
                                                  const ResumeState& earlier,
                                                  const DownloadHooks& hooks);

// The whole body of `url` (an address parseUrl accepts, local ones too), at
// most `limit` bytes (`tooLarge`), with the retries and redirects of a
// download.
[[nodiscard]] Result<std::string> fetchDocument(Transport& transport, std::string_view url,
                                                bool allowHttp, std::uint64_t limit,
                                                const std::function<void(std::uint64_t)>& sleep);

}  // namespace loftswitch
