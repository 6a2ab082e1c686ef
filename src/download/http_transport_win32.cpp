#include <windows.h>
#include <winhttp.h>

#include <charconv>
#include <memory>

#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "download/transport.h"
#include "download/url.h"
#include "loftswitch/version.h"

namespace loftswitch {
namespace {

struct InternetTraits {
  using Type = HINTERNET;
  static Type invalid() { return nullptr; }
  static bool isValid(Type h) { return h != nullptr; }
  static void close(Type h) { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueWin32<InternetTraits>;

constexpr int kResolveMs = 30000, kConnectMs = 30000, kSendMs = 30000, kReceiveMs = 60000;

// WinHTTP's errors have no text in the system's message table.
Error fetchError(const std::string& url) {
  const DWORD code = ::GetLastError();
  const char* what = nullptr;
  bool mayPass = true;
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: what = "the server didn't answer in time"; break;
    case ERROR_WINHTTP_CANNOT_CONNECT: what = "can't connect to the server"; break;
    case ERROR_WINHTTP_CONNECTION_ERROR: what = "the connection was reset"; break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: what = "the host name doesn't resolve"; mayPass = false; break;
    case ERROR_WINHTTP_SECURE_FAILURE:
      what = "the server's certificate doesn't verify"; mayPass = false; break;
    default: mayPass = false; break;
  }
  const std::string text = what != nullptr ? std::string(what) + " (" + std::to_string(code) + ")"
                                           : windowsErrorText(code);
  return Error{mayPass ? ErrorCode::unavailable : ErrorCode::fetchFailed,
               "can't fetch " + url + ": " + text};
}

std::string header(HINTERNET request, DWORD query) {
  DWORD size = 0;
  ::WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  value.resize(size / sizeof(wchar_t));
  return toUtf8(value);
}

class HttpExchange final : public Exchange {
 public:
  HttpExchange(UniqueInternet connection, UniqueInternet request, std::string url)
      : connection_(std::move(connection)), request_(std::move(request)), url_(std::move(url)) {}

  Result<Unit> receive() {
    if (!::WinHttpReceiveResponse(request_.get(), nullptr)) return fail(fetchError(url_));
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
      return fail(fetchError(url_));
    }
    response_.status = static_cast<int>(status);
    const std::string length = header(request_.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), value);
    if (!length.empty() && error == std::errc() && end == length.data() + length.size()) {
      response_.length = value;
    }
    response_.etag = header(request_.get(), WINHTTP_QUERY_ETAG);
    response_.lastModified = header(request_.get(), WINHTTP_QUERY_LAST_MODIFIED);
    response_.location = header(request_.get(), WINHTTP_QUERY_LOCATION);
    response_.contentRange = header(request_.get(), WINHTTP_QUERY_CONTENT_RANGE);
    return Unit{};
  }

  const FetchResponse& response() const override { return response_; }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 1u << 30));
    if (!::WinHttpReadData(request_.get(), buffer.data(), want, &got)) return fail(fetchError(url_));
    return static_cast<std::size_t>(got);
  }

 private:
  UniqueInternet connection_;
  UniqueInternet request_;
  std::string url_;
  FetchResponse response_;
};

class SystemTransport final : public Transport {
 public:
  Result<std::unique_ptr<Exchange>> open(const FetchRequest& request) override {
    ASSIGN_OR_RETURN(const Url url, parseUrl(request.url));
    if (url.kind == UrlKind::file) return files_.open(request);
    if (!session_) {
      const std::wstring agent = L"loftswitch/" + toWide(LOFTSWITCH_VERSION);
      // The system's proxy settings; the older access type where the newer
      // one is unknown.
      session_.reset(::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
      if (!session_) {
        session_.reset(::WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
      }
      if (!session_) return fail(fetchError(request.url));
      ::WinHttpSetTimeouts(session_.get(), kResolveMs, kConnectMs, kSendMs, kReceiveMs);
    }
    UniqueInternet connection(::WinHttpConnect(session_.get(), toWide(url.host).c_str(), url.port, 0));
    if (!connection) return fail(fetchError(request.url));
    UniqueInternet handle(::WinHttpOpenRequest(
        connection.get(), L"GET", toWide(url.target).c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, url.kind == UrlKind::https ? WINHTTP_FLAG_SECURE : 0));
    if (!handle) return fail(fetchError(request.url));
    // Every hop is checked against the install's rules before it is taken.
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
    std::wstring headers;
    if (request.rangeFrom > 0) {
      headers = L"Range: bytes=" + std::to_wstring(request.rangeFrom) + L"-\r\n";
      if (!request.ifRange.empty()) headers += L"If-Range: " + toWide(request.ifRange) + L"\r\n";
    }
    if (!::WinHttpSendRequest(handle.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
      return fail(fetchError(request.url));
    }
    auto exchange = std::make_unique<HttpExchange>(std::move(connection), std::move(handle), request.url);
    RETURN_IF_ERROR(exchange->receive());
    return std::unique_ptr<Exchange>(std::move(exchange));
  }

 private:
  UniqueInternet session_;
  FileTransport files_;
};

}  // namespace

std::unique_ptr<Transport> makeSystemTransport() { return std::make_unique<SystemTransport>(); }

}  // namespace loftswitch
