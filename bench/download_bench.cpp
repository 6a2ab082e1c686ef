// Downloading through the application library's own road (WinHTTP, the
// partial file, SHA-256 as the bytes come) from a server on the loopback
// address: a whole file, then the same file cancelled half way and resumed.
//   bench-download.exe <folder> <URL of the file> <size> <sha256>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "base/win32.h"
#include "fs/local_file_system.h"
#include "loftswitch/app.h"

namespace {

using namespace loftswitch;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Half {
  std::uint64_t at = 0;
  static int stop(int32_t, std::uint64_t done, std::uint64_t, void* context) {
    return done >= static_cast<Half*>(context)->at ? 1 : 0;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 64;
  const std::filesystem::path install = std::filesystem::path(argv[1]) / L"App";
  std::string url = toUtf8(argv[2]), sha256 = toUtf8(argv[4]);
  const std::uint64_t size = std::stoull(toUtf8(argv[3]));
  LocalFileSystem fs;
  (void)fs.createFolders(install);
  (void)fs.writeFile(install / L"loftswitch.json",
                     R"({"loftswitch_install": 1, "app": "bench", "version": "1.0", )"
                     R"("executable": "app.exe", "platforms": ["windows-x64"], )"
                     R"("publicKeys": ["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="]})");
  std::string fields = "{\"size\": " + std::to_string(size) + ", \"sha256\": \"" + sha256 + "\"}";
  std::string version = "2.0";
  loftswitch_offer offer{};
  offer.present = 1;
  offer.version = version.data();
  offer.package_url = url.data();
  offer.size = size;
  offer.sha256 = sha256.data();
  offer.signed_json = fields.data();
  const std::string folder = pathToUtf8(install);
  const auto fetch = [&](loftswitch_progress_fn progress, void* context) {
    char* path = nullptr;
    loftswitch_status status{};
    const auto start = Clock::now();
    const int code =
        loftswitch_download_update(folder.c_str(), nullptr, &offer, progress, context, &path, &status);
    const double seconds = secondsSince(start);
    if (code != LOFTSWITCH_OK && code != LOFTSWITCH_CANCELLED) {
      std::fprintf(stderr, "download failed: %s\n", status.message);
    }
    loftswitch_string_free(path);
    loftswitch_status_free(&status);
    std::error_code ignored;
    if (code == LOFTSWITCH_OK) std::filesystem::remove_all(install / L".loftswitch", ignored);
    return seconds;
  };
  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  const double whole = fetch(nullptr, nullptr);
  std::printf("whole download:      %.2f s, %.0f MiB/s\n", whole, mib / whole);
  Half half{size / 2};
  fetch(&Half::stop, &half);
  const double resumed = fetch(nullptr, nullptr);
  std::printf("resumed after half:  %.2f s (the second half alone: about %.2f s; the resume's "
              "extra, re-reading and hashing the kept half: %.2f s)\n",
              resumed, whole / 2, resumed - whole / 2);
  return 0;
}
