#include "download/download.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "download/url.h"

namespace loftswitch {
namespace {

constexpr std::size_t kBufferSize = 0x40000;
constexpr std::uint64_t kReportStep = 0x100000;
constexpr std::uint64_t kFirstPauseMs = 500;

// Pauses between tries of a fetch; a try that made progress starts the
// count again, so a download that keeps moving is never given up.
class Backoff {
 public:
  explicit Backoff(const std::function<void(std::uint64_t)>& sleep) : sleep_(sleep) {}
  // Pauses and says yes while tries are left.
  bool another() {
    if (++tries_ >= kFetchTries) return false;
    if (sleep_) sleep_(kFirstPauseMs << (tries_ - 1));
    return true;
  }
  void progressed() { tries_ = 0; }

 private:
  const std::function<void(std::uint64_t)>& sleep_;
  int tries_ = 0;
};

std::unexpected<Error> statusError(int status, const std::string& url) {
  // A server in trouble may recover; a client error stays one.
  return fail(status >= 500 ? ErrorCode::unavailable : ErrorCode::fetchFailed,
              url + " answered HTTP " + std::to_string(status));
}

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Opened {
  std::unique_ptr<Exchange> exchange;
  std::string url;  // where the answer came from, after redirects
};

// The first answer that is not a redirect. Every hop must be fetchable by
// the same rules as the first address, and no server may point at a local
// file.
Result<Opened> openFollowing(Transport& transport, FetchRequest request, bool allowHttp) {
  ASSIGN_OR_RETURN(const Url first, parseUrl(request.url));
  RETURN_IF_ERROR(checkFetchable(first, allowHttp, true));
  for (int redirects = 0;; ++redirects) {
    ASSIGN_OR_RETURN(std::unique_ptr<Exchange> exchange, transport.open(request));
    const FetchResponse& response = exchange->response();
    if (!isRedirect(response.status)) return Opened{std::move(exchange), request.url};
    if (redirects == kMaxRedirects) {
      return fail(ErrorCode::fetchFailed, request.url + " redirects more than " +
                                              std::to_string(kMaxRedirects) + " times");
    }
    if (response.location.empty()) {
      return fail(ErrorCode::fetchFailed, request.url + " redirects without a Location");
    }
    ASSIGN_OR_RETURN(request.url, resolveUrl(request.url, response.location));
    ASSIGN_OR_RETURN(const Url next, parseUrl(request.url));
    RETURN_IF_ERROR(checkFetchable(next, allowHttp, false));
  }
}

struct ContentRange {
  std::uint64_t first = 0, last = 0, total = 0;
};

bool readNumber(std::string_view& text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

// "bytes <first>-<last>/<total>"; nothing for any other form, "*" included.
std::optional<ContentRange> parseContentRange(std::string_view text) {
  ContentRange range;
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  if (!readNumber(text, range.first) || !text.starts_with('-')) return std::nullopt;
  text.remove_prefix(1);
  if (!readNumber(text, range.last) || !text.starts_with('/')) return std::nullopt;
  text.remove_prefix(1);
  if (!readNumber(text, range.total) || !text.empty()) return std::nullopt;
  return range;
}

std::string bytesText(std::uint64_t count) { return std::to_string(count) + " bytes"; }

class Download {
 public:
  Download(Transport& transport, PartialFile& file, const DownloadTarget& target,
           const DownloadHooks& hooks)
      : transport_(transport), file_(file), target_(target), hooks_(hooks) {}

  Result<DownloadReport> run(const ResumeState& earlier) {
    ASSIGN_OR_RETURN(have_, file_.size());
    state_ = earlier;
    const bool validated = !state_.etag.empty() || !state_.lastModified.empty();
    if (state_.url != target_.url || !validated || have_ > target_.size) {
      have_ = 0;
      state_ = ResumeState{};
    }
    RETURN_IF_ERROR(file_.truncate(have_));
    RETURN_IF_ERROR(hashKeptBytes());
    report_.kept = have_;
    if (!tell()) return fail(stoppedByCaller());
    Backoff backoff(hooks_.sleep);
    while (have_ < target_.size) {
      const std::uint64_t before = have_;
      auto tried = attempt();
      if (tried) continue;
      if (tried.error().code != ErrorCode::unavailable) return fail(tried.error());
      if (have_ > before) backoff.progressed();
      if (!backoff.another()) {
        return fail(ErrorCode::unavailable, tried.error().message + " (gave up after " +
                                                std::to_string(kFetchTries) + " tries)");
      }
      ++report_.retries;
    }
    const Sha256Digest digest = hash_.finish();
    if (hash_.failed()) return fail(ErrorCode::io, "can't compute the SHA-256 of the download");
    if (digest != target_.sha256) {
      return fail(ErrorCode::digestMismatch,
                  "the download's SHA-256 doesn't match the signed one (" + target_.url + ")");
    }
    return report_;
  }

 private:
  Result<Unit> hashKeptBytes() {
    std::vector<std::uint8_t> buffer(kBufferSize);
    for (std::uint64_t at = 0; at < have_;) {
      const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(have_ - at, kBufferSize));
      RETURN_IF_ERROR(file_.readAt(at, std::span(buffer.data(), piece)));
      hash_.update(std::span<const std::uint8_t>(buffer.data(), piece));
      at += piece;
    }
    return Unit{};
  }

  // Reports `have_`: the first time, after a MiB more, at the end, and when
  // a fresh start took it back.
  bool tell() {
    const bool due = !told_ || have_ < *told_ || have_ - *told_ >= kReportStep ||
                     (have_ == target_.size && *told_ != have_);
    if (!due) return true;
    told_ = have_;
    return keepGoing(hooks_.progress, have_, target_.size);
  }

  Result<Unit> restart() {
    have_ = 0;
    hash_ = Sha256();
    RETURN_IF_ERROR(file_.truncate(0));
    ++report_.freshStarts;
    return Unit{};
  }

  // One request and as much of its body as comes; fails `unavailable` when
  // the rest may still come.
  Result<Unit> attempt() {
    FetchRequest request{target_.url, 0, {}};
    if (have_ > 0) {
      request.rangeFrom = have_;
      request.ifRange = state_.etag.empty() ? state_.lastModified : state_.etag;
    }
    ASSIGN_OR_RETURN(Opened opened, openFollowing(transport_, request, target_.allowHttp));
    const FetchResponse& response = opened.exchange->response();
    const std::string size = bytesText(target_.size);
    if (response.status == 206 && have_ > 0) {
      // Bytes of another version of the file must never be joined to ours.
      const bool same = state_.etag.empty() ? response.lastModified == state_.lastModified
                                            : response.etag == state_.etag;
      const auto range = parseContentRange(response.contentRange);
      if (!same || !range || range->first != have_) {
        RETURN_IF_ERROR(restart());
        return attempt();
      }
      if (range->total != target_.size || range->last + 1 != target_.size ||
          (response.length && *response.length != target_.size - have_)) {
        return fail(ErrorCode::sizeMismatch, opened.url + " serves " + response.contentRange +
                                                 ", not the rest of the signed " + size);
      }
      ++report_.resumes;
    } else if (response.status == 200) {
      if (response.length && *response.length != target_.size) {
        return fail(ErrorCode::sizeMismatch, opened.url + " is " + bytesText(*response.length) +
                                                 ", not the signed " + size);
      }
      if (have_ > 0) RETURN_IF_ERROR(restart());
      const bool strong = !response.etag.empty() && !response.etag.starts_with("W/");
      state_ = ResumeState{target_.url, strong ? response.etag : "",
                           strong ? "" : response.lastModified};
      if (hooks_.saveResume) RETURN_IF_ERROR(hooks_.saveResume(state_));
    } else if (response.status == 416 && have_ > 0) {
      return fail(ErrorCode::sizeMismatch,
                  opened.url + " ends before byte " + std::to_string(have_) + " of the signed " + size);
    } else if (response.status < 300) {
      return fail(ErrorCode::fetchFailed, opened.url + " answered HTTP " +
                                              std::to_string(response.status) + " unasked");
    } else {
      return statusError(response.status, opened.url);
    }

    std::vector<std::uint8_t> buffer(kBufferSize);
    for (;;) {
      ASSIGN_OR_RETURN(const std::size_t count, opened.exchange->read(buffer));
      if (count == 0) break;
      if (count > target_.size - have_) {
        return fail(ErrorCode::sizeMismatch, opened.url + " sends more than the signed " + size);
      }
      const std::span<const std::uint8_t> bytes(buffer.data(), count);
      RETURN_IF_ERROR(file_.write(bytes));
      hash_.update(bytes);
      have_ += count;
      if (!tell()) return fail(stoppedByCaller());
    }
    if (have_ < target_.size) {
      return fail(ErrorCode::unavailable, "the connection to " + opened.url + " ended after " +
                                              bytesText(have_) + " of " + size);
    }
    return Unit{};
  }

  Transport& transport_;
  PartialFile& file_;
  const DownloadTarget& target_;
  const DownloadHooks& hooks_;
  ResumeState state_;
  std::uint64_t have_ = 0;
  Sha256 hash_;
  std::optional<std::uint64_t> told_;
  DownloadReport report_;
};

Result<std::string> fetchOnce(Transport& transport, std::string_view url, bool allowHttp,
                              std::uint64_t limit) {
  ASSIGN_OR_RETURN(Opened opened, openFollowing(transport, FetchRequest{std::string(url), 0, {}},
                                                allowHttp));
  const FetchResponse& response = opened.exchange->response();
  if (response.status != 200) return statusError(response.status, opened.url);
  const std::string tooLarge = opened.url + " is larger than " + bytesText(limit);
  if (response.length && *response.length > limit) return fail(ErrorCode::tooLarge, tooLarge);
  std::string body;
  std::vector<std::uint8_t> buffer(kBufferSize);
  for (;;) {
    ASSIGN_OR_RETURN(const std::size_t count, opened.exchange->read(buffer));
    if (count == 0) break;
    if (count > limit - body.size()) return fail(ErrorCode::tooLarge, tooLarge);
    body.append(reinterpret_cast<const char*>(buffer.data()), count);
  }
  if (response.length && body.size() != *response.length) {
    return fail(ErrorCode::unavailable, "the connection to " + opened.url + " ended after " +
                                            bytesText(body.size()) + " of " +
                                            bytesText(*response.length));
  }
  return body;
}

}  // namespace

Result<DownloadReport> downloadInto(Transport& transport, PartialFile& file,
                                    const DownloadTarget& target, const ResumeState& earlier,
                                    const DownloadHooks& hooks) {
  if (target.size == 0) return fail(ErrorCode::invalidData, "a package has at least one byte");
  return Download(transport, file, target, hooks).run(earlier);
}

Result<std::string> fetchDocument(Transport& transport, std::string_view url, bool allowHttp,
                                  std::uint64_t limit,
                                  const std::function<void(std::uint64_t)>& sleep) {
  Backoff backoff(sleep);
  for (;;) {
    auto fetched = fetchOnce(transport, url, allowHttp, limit);
    if (fetched || fetched.error().code != ErrorCode::unavailable) return fetched;
    if (!backoff.another()) {
      return fail(ErrorCode::unavailable, fetched.error().message + " (gave up after " +
                                              std::to_string(kFetchTries) + " tries)");
    }
  }
}

}  // namespace loftswitch
