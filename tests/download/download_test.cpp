#include "download/download.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include "download/url.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

// What the i-th request meets, on top of a server that serves ranges and
// If-Range as HTTP says.
struct Fault {
  std::uint64_t cutAt = UINT64_MAX;  // the connection drops at this byte of the file
  int status = 0;                    // answered instead
  std::string location;              // a redirect
  bool reset = false;                // no answer at all
  bool other = false;                // the file is now another version ("b")
  bool ignoreRange = false;          // 200 whatever was asked
  bool staleRange = false;           // 206 from the current file, whatever If-Range said
  bool wrongStart = false;           // 206 from one byte later than asked
  bool wrongTotal = false;           // Content-Range names another size
  std::int64_t sizeDelta = 0;        // the file is this much larger (or smaller)
  bool noLength = false;             // no Content-Length: the body ends when the connection does
};

class FakeExchange final : public Exchange {
 public:
  FakeExchange(FetchResponse response, std::string_view body, std::uint64_t cutAt)
      : response_(std::move(response)), body_(std::move(body)), cutAt_(cutAt) {}
  const FetchResponse& response() const override { return response_; }
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    if (at_ >= cutAt_ && at_ < body_.size()) return fail(ErrorCode::unavailable, "reset");
    const std::size_t n = std::min({buffer.size(), body_.size() - at_,
                                    static_cast<std::size_t>(std::min<std::uint64_t>(cutAt_ - at_, 65536))});
    std::copy_n(body_.data() + at_, n, buffer.data());
    at_ += n;
    return n;
  }

 private:
  FetchResponse response_;
  std::string_view body_;
  std::uint64_t cutAt_;
  std::size_t at_ = 0;
};

struct FakeServer final : Transport {
  std::string file;
  std::string etag = "\"a\"", lastModified = "Mon, 01 Jan 2024 00:00:00 GMT";
  std::vector<Fault> faults;
  std::vector<std::string> requests;  // "<from>:<If-Range>" each
  std::deque<std::string> variants;   // the files the faults made

  Result<std::unique_ptr<Exchange>> open(const FetchRequest& request) override {
    const std::size_t i = requests.size();
    requests.push_back(std::to_string(request.rangeFrom) + ":" + request.ifRange);
    const Fault f = i < faults.size() ? faults[i] : Fault{};
    if (f.reset) return fail(ErrorCode::unavailable, "reset");
    FetchResponse response;
    if (f.status != 0 || !f.location.empty()) {
      response.status = f.status != 0 ? f.status : 302;
      response.location = f.location;
      return std::unique_ptr<Exchange>(std::make_unique<FakeExchange>(response, "", UINT64_MAX));
    }
    std::string_view content = file;
    if (f.other || f.sizeDelta != 0) {
      std::string& variant = variants.emplace_back(file);
      variant.resize(static_cast<std::size_t>(static_cast<std::int64_t>(file.size()) + f.sizeDelta), 'x');
      if (f.other) std::ranges::for_each(variant, [](char& c) { c ^= 0x5a; });
      content = variant;
    }
    response.etag = f.other ? "\"b\"" : etag;
    response.lastModified = lastModified;
    const bool valid = request.ifRange == response.etag || request.ifRange == lastModified;
    std::uint64_t start = 0;
    if (request.rangeFrom > 0 && !f.ignoreRange && (valid || f.staleRange)) {
      if (request.rangeFrom >= content.size()) {
        response.status = 416;
        return std::unique_ptr<Exchange>(std::make_unique<FakeExchange>(response, "", UINT64_MAX));
      }
      start = request.rangeFrom + (f.wrongStart ? 1 : 0);
      response.contentRange = "bytes " + std::to_string(start) + "-" +
                              std::to_string(content.size() - 1) + "/" +
                              std::to_string(content.size() + (f.wrongTotal ? 1 : 0));
    }
    response.status = response.contentRange.empty() ? 200 : 206;
    if (!f.noLength) response.length = content.size() - start;
    return std::unique_ptr<Exchange>(std::make_unique<FakeExchange>(
        response, content.substr(start), f.cutAt > start ? f.cutAt - start : 0));
  }
};

struct MemoryPartial final : PartialFile {
  std::string bytes;
  std::size_t largest = 0;
  Result<std::uint64_t> size() override { return bytes.size(); }
  Result<Unit> truncate(std::uint64_t size) override { bytes.resize(size); return Unit{}; }
  Result<Unit> write(std::span<const std::uint8_t> data) override {
    bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
    largest = std::max(largest, bytes.size());
    return Unit{};
  }
  Result<Unit> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    if (offset + buffer.size() > bytes.size()) return fail(ErrorCode::damaged, "short");
    std::copy_n(bytes.data() + offset, buffer.size(), buffer.data());
    return Unit{};
  }
};

constexpr std::uint64_t kSize = 2600000;
const std::string kUrl = "https://updates.example/app/p.zip";

const std::string& signedFile(std::uint64_t size) {
  static std::map<std::uint64_t, std::string> files;
  std::string& file = files[size];
  std::mt19937 random(7);
  if (file.empty()) std::ranges::generate_n(std::back_inserter(file), size, std::ref(random));
  return file;
}

struct Trial {
  FakeServer server;
  MemoryPartial partial;
  std::vector<std::uint64_t> sleeps;
  std::vector<std::uint64_t> told;
  std::optional<ResumeState> saved;
  Result<DownloadReport> result = fail(ErrorCode::io, "not run");

  explicit Trial(std::vector<Fault> faults = {}, std::uint64_t size = kSize) {
    server.file = signedFile(size);
    server.faults = std::move(faults);
  }
  Trial& go(const ResumeState& earlier = {}, std::size_t cancelAt = SIZE_MAX,
          const std::string& url = kUrl) {
    DownloadHooks hooks;
    hooks.sleep = [this](std::uint64_t ms) { sleeps.push_back(ms); };
    hooks.saveResume = [this](const ResumeState& state) { saved = state; return ok(); };
    hooks.progress = [this, cancelAt](std::uint64_t done, std::uint64_t total) {
      EXPECT_EQ(total, server.file.size());
      told.push_back(done);
      return told.size() < cancelAt;
    };
    result = downloadInto(server, partial,
                          DownloadTarget{url, server.file.size(), Sha256::digest(server.file), false},
                          earlier, hooks);
    return *this;
  }
};

// Every row names the fault a server or a network can make; the oracle is
// the rule for it: the signed bytes or the refusal the rule names, the
// requests the rule allows, and never a byte past the signed size.
TEST(DownloadTest, EachFaultEndsInTheSignedBytesOrItsRefusal) {
  const std::string a = "\"a\"";
  const std::string date = "Mon, 01 Jan 2024 00:00:00 GMT";
  const std::optional<ErrorCode> done;
  const struct Row {
    const char* name;
    std::vector<Fault> faults;
    std::optional<ErrorCode> code;
    std::vector<std::string> requests;
    std::vector<std::uint64_t> sleeps = {};
    std::string etag = "\"a\"";
  } rows[] = {
      {"a plain fetch", {}, done, {"0:"}},
      {"a cut resumes by its ETag", {{.cutAt = 1000000}}, done, {"0:", "1000000:" + a}, {500}},
      {"a weak ETag resumes by date", {{.cutAt = 1000000}}, done, {"0:", "1000000:" + date}, {500},
       "W/\"a\""},
      {"an ignored range starts afresh", {{.cutAt = 1000000}, {.ignoreRange = true}}, done,
       {"0:", "1000000:" + a}, {500}},
      {"a changed file starts afresh", {{.cutAt = 1000000, .other = true}}, done,
       {"0:", "1000000:\"b\""}, {500}},
      {"a stale range is never joined", {{.cutAt = 1000000, .other = true}, {.staleRange = true}},
       done, {"0:", "1000000:\"b\"", "0:"}, {500}},
      {"a range from elsewhere starts afresh", {{.cutAt = 1000000}, {.wrongStart = true}}, done,
       {"0:", "1000000:" + a, "0:"}, {500}},
      {"a 503 is tried again", {{.status = 503}}, done, {"0:", "0:"}, {500}},
      {"five redirects are followed", std::vector<Fault>(5, {.location = "../app/p.zip"}), done,
       std::vector<std::string>(6, "0:")},
      {"a 404 is not tried again", {{.status = 404}}, ErrorCode::fetchFailed, {"0:"}},
      {"a sixth redirect is refused", std::vector<Fault>(6, {.location = "p.zip"}),
       ErrorCode::fetchFailed, std::vector<std::string>(6, "0:")},
      {"no redirect to a local file", {{.location = "file:///etc/passwd"}}, ErrorCode::fetchFailed,
       {"0:"}},
      {"no redirect to plain http", {{.location = "http://updates.example/p.zip"}},
       ErrorCode::fetchFailed, {"0:"}},
      {"resets end after five tries", std::vector<Fault>(9, {.reset = true}),
       ErrorCode::unavailable, std::vector<std::string>(5, "0:"), {500, 1000, 2000, 4000}},
      {"a larger file is refused", {{.sizeDelta = 1}}, ErrorCode::sizeMismatch, {"0:"}},
      {"a larger file without a length", {{.sizeDelta = 1, .noLength = true}},
       ErrorCode::sizeMismatch, {"0:"}},
      {"a smaller file is refused", {{.sizeDelta = -1}}, ErrorCode::sizeMismatch, {"0:"}},
      {"a smaller file without a length", std::vector<Fault>(2, {.sizeDelta = -1, .noLength = true}),
       ErrorCode::sizeMismatch, {"0:", std::to_string(kSize - 1) + ":" + a}, {500}},
      {"a range of another size", {{.cutAt = 1000000}, {.wrongTotal = true}},
       ErrorCode::sizeMismatch, {"0:", "1000000:" + a}, {500}},
      {"other bytes are refused", {{.other = true}}, ErrorCode::digestMismatch, {"0:"}},
  };
  for (const Row& row : rows) {
    Trial run(row.faults);
    run.server.etag = row.etag;
    run.go();
    SCOPED_TRACE(row.name);
    if (row.code) {
      EXPECT_THAT(run.result, FailsWithCode(*row.code));
    } else {
      EXPECT_THAT(run.result, IsOkay());
      EXPECT_TRUE(run.partial.bytes == run.server.file);
    }
    EXPECT_EQ(run.server.requests, row.requests);
    EXPECT_EQ(run.sleeps, row.sleeps);
    EXPECT_LE(run.partial.largest, kSize);
  }
}

// A try that brought bytes starts the count of tries again, so a transfer
// that keeps moving through a bad network is not given up.
TEST(DownloadTest, ProgressRenewsTheTriesAndACallResumesWhatAnEarlierOneLeft) {
  std::vector<Fault> faults = {{.cutAt = 500000}};
  faults.insert(faults.end(), 3, {.reset = true});
  faults.push_back({.cutAt = 1500000});
  faults.insert(faults.end(), 3, {.reset = true});
  EXPECT_THAT(Trial(faults).go().result, IsOkay());

  // Cancelled after its second report: the bytes stay, with what validates them.
  Trial first;
  EXPECT_THAT(first.go({}, 2).result, FailsWith(ErrorCode::io, "stopped by the caller"));
  ASSERT_TRUE(first.saved.has_value());
  EXPECT_EQ(first.told, (std::vector<std::uint64_t>{0, first.partial.bytes.size()}));
  // The server sends 64 KiB at a time, so a MiB more falls on a read's end.
  EXPECT_EQ(first.partial.bytes.size(), 1u << 20);
  const std::string kept = first.partial.bytes;
  const std::string from = std::to_string(kept.size());
  const struct {
    const char* name;
    ResumeState earlier;
    std::vector<std::string> requests;
  } rows[] = {
      {"its validator holds", *first.saved, {from + ":\"a\""}},
      {"another address", {"https://elsewhere.example/p.zip", "\"a\"", ""}, {"0:"}},
      {"no validator", {kUrl, "", ""}, {"0:"}},
      {"a validator the file no longer has", {kUrl, "\"z\"", ""}, {from + ":\"z\""}},
  };
  for (const auto& row : rows) {
    Trial next;
    next.partial.bytes = kept;
    EXPECT_THAT(next.go(row.earlier).result, IsOkay()) << row.name;
    EXPECT_EQ(next.server.requests, row.requests) << row.name;
    EXPECT_TRUE(next.partial.bytes == next.server.file) << row.name;
    // Reported from what is kept, about once a MiB, to the end.
    EXPECT_EQ(next.told.front(), row.requests[0].starts_with("0:") ? 0 : kept.size()) << row.name;
    EXPECT_EQ(next.told.back(), kSize) << row.name;
    EXPECT_LE(next.told.size(), 5u) << row.name;
  }
}

// A feed comes whole, within its limit, with the tries and redirects of a
// download.
TEST(DownloadTest, FetchesADocumentWholeWithinItsLimit) {
  const std::uint64_t size = 100000;
  const struct {
    const char* name;
    std::vector<Fault> faults;
    std::uint64_t limit;
    std::optional<ErrorCode> code;
    std::size_t requests;
  } rows[] = {
      {"a whole document at its limit", {}, size, {}, 1},
      {"a declared length past the limit", {}, size - 1, ErrorCode::tooLarge, 1},
      {"bytes past the limit", {{.noLength = true}}, size - 1, ErrorCode::tooLarge, 1},
      {"a cut", {{.cutAt = 500}}, size, {}, 2},
      {"a 503", {{.status = 503}}, size, {}, 2},
      {"a redirect", {{.location = "/elsewhere"}}, size, {}, 2},
      {"a 404", {{.status = 404}}, size, ErrorCode::fetchFailed, 1},
      {"resets", std::vector<Fault>(5, {.reset = true}), size, ErrorCode::unavailable, 5},
  };
  for (const auto& row : rows) {
    Trial run(row.faults, size);
    const auto fetched = fetchDocument(run.server, kUrl, false, row.limit, [](std::uint64_t) {});
    EXPECT_EQ(fetched ? std::nullopt : std::optional(fetched.error().code), row.code) << row.name;
    EXPECT_TRUE(!fetched || *fetched == run.server.file) << row.name;
    EXPECT_EQ(run.server.requests.size(), row.requests) << row.name;
  }
}

// Where an install fetches from decides what it trusts: addresses resolve
// as a browser resolves them, and nothing else passes.
TEST(UrlTest, ResolvesAsABrowserDoesAndFetchesOnlyWhatTheInstallAllows) {
  const struct {
    const char *base, *reference, *resolved;
  } resolutions[] = {
      {"https://h.example/a/b/feed.json", "p.zip", "https://h.example/a/b/p.zip"},
      {"https://h.example/a/b/feed.json", "../c/./p.zip", "https://h.example/a/c/p.zip"},
      {"https://h.example/a/feed.json", "../../../p.zip", "https://h.example/p.zip"},
      {"https://h.example/a/feed.json?x", "/p.zip?v=2#top", "https://h.example/p.zip?v=2"},
      {"https://h.example:8443/feed.json", "//cdn.example/p.zip", "https://cdn.example/p.zip"},
      {"https://h.example/feed.json", "http://127.0.0.1:9/p.zip", "http://127.0.0.1:9/p.zip"},
      {"file:///srv/feeds/feed.json", "p%20q.zip", "file:///srv/feeds/p%20q.zip"},
      {"/srv/feeds/feed.json", "../p.zip", "/srv/p.zip"},
      {"/srv/feeds/feed.json", "/elsewhere/p.zip", "/elsewhere/p.zip"},
      {"https://h.example/feed.json", "https://user:pw@h.example/p.zip", ""},
      {"https://h.example/feed.json", "ftp://h.example/p.zip", ""},
      {"https://h.example/feed.json", "a b.zip", ""},
      {"https://h.example/feed.json", "", ""},
      {"https://h.example/a/b?q", "?x", "https://h.example/a/b?x"},
      {"https://h.example/a/b/", "c/../..", "https://h.example/a/"},
      {"feeds/feed.json", "p.zip", ""},
  };
  for (const auto& row : resolutions) {
    std::string resolved = resolveUrl(row.base, row.reference).value_or("");
    std::ranges::replace(resolved, '\\', '/');  // a local path in Windows' separators
    EXPECT_EQ(resolved, row.resolved) << row.base << " + " << row.reference;
  }
  const struct {
    const char* url;
    bool allowHttp, localAllowed;
    const char* parsed;  // "<kind> <host> <port> <target or path>", or "" when refused
  } rows[] = {
      {"https://H.Example/p.zip", false, false, "0 h.example 443 /p.zip"},
      {"https://h.example", false, false, "0 h.example 443 /"},
      {"http://127.0.0.1:8080/p", false, false, "1 127.0.0.1 8080 /p"},
      {"http://127.255.0.9/p", false, false, "1 127.255.0.9 80 /p"},
      {"http://[::1]:81/p", false, false, "1 ::1 81 /p"},
      {"http://localhost/p", false, false, "1 localhost 80 /p"},
      {"http://h.example/p", true, false, "1 h.example 80 /p"},
      {"http://h.example/p", false, false, ""},
      {"http://127.0.0.1.h.example/p", false, false, ""},
      {"http://128.0.0.1/p", false, false, ""},
      {"http://127.0.0.256/p", false, false, ""},
      {"https://h.example:0/p", false, false, ""},
      {"https://h.example:65536/p", false, false, ""},
      {"https://h.exa mple/p", false, false, ""},
      {"https://h.example/p\x7f", false, false, ""},
      {"file:///C:/dir/p%C3%A4.zip", false, true, "2  0 C:/dir/p\xC3\xA4.zip"},
      {"file://server/share/p.zip", false, true, "2  0 //server/share/p.zip"},
      {"C:\\dir\\p.zip", false, true, "2  0 C:\\dir\\p.zip"},
      {"file:///tmp/p.zip", false, false, ""},
      {"file:///tmp/p%00.zip", false, true, ""},
      {"file:///a%2fb%c3%a4", false, true, "2  0 /a/b\xC3\xA4"},
      {"file:///a%4", false, true, ""},
      {"file:///a%zz", false, true, ""},
      {"file:/a", false, true, ""},
      {"https:///p", false, false, ""},
      {"http://[::1/p", false, false, ""},
      {"http://[zz]/p", false, false, ""},
      {"http://[::1]x/p", false, false, ""},
      {"https://h.example:80a/p", false, false, ""},
      {"http://127.0.0/p", false, false, ""},
      {"http://127.0.0.1.1/p", false, false, ""},
  };
  for (const auto& row : rows) {
    const auto url = parseUrl(row.url);
    std::string parsed;
    if (url && checkFetchable(*url, row.allowHttp, row.localAllowed)) {
      parsed = std::to_string(static_cast<int>(url->kind)) + " " + url->host + " " +
               std::to_string(url->port) + " " + (url->kind == UrlKind::file ? url->path : url->target);
    }
    EXPECT_EQ(parsed, row.parsed) << row.url;
  }
}

}  // namespace
}  // namespace loftswitch
