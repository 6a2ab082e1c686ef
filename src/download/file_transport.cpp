#include <memory>

#include "base/file.h"
#include "base/text.h"
#include "download/transport.h"
#include "download/url.h"

namespace loftswitch {
namespace {

class FileExchange final : public Exchange {
 public:
  FileExchange(OpenFile file, std::uint64_t size) : file_(std::move(file)) {
    response_.status = 200;
    response_.length = size;
  }
  const FetchResponse& response() const override { return response_; }
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    auto got = readSome(file_, buffer);
    if (!got) return fail(ErrorCode::fetchFailed, got.error().message);
    return static_cast<std::size_t>(*got);
  }

 private:
  OpenFile file_;
  FetchResponse response_;
};

}  // namespace

Result<std::unique_ptr<Exchange>> FileTransport::open(const FetchRequest& request) {
  ASSIGN_OR_RETURN(const Url url, parseUrl(request.url));
  if (url.kind != UrlKind::file) {
    return fail(ErrorCode::fetchFailed, request.url + " is not a local file");
  }
  auto file = openFile(utf8ToPath(url.path), OpenMode::read);
  if (!file) return fail(ErrorCode::fetchFailed, file.error().message);
  auto size = fileSize(*file);
  if (!size) return fail(ErrorCode::fetchFailed, size.error().message);
  return std::unique_ptr<Exchange>(std::make_unique<FileExchange>(std::move(*file), *size));
}

}  // namespace loftswitch
