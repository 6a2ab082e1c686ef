// Times the swap of an install with N top-level entries, and its undo, on the
// local file system:
//   bench-swap [scratch folder] [N ...]     (default: 10 100 1000 entries)
// Without a scratch folder it works in a fresh folder under the temporary
// folder; what it creates is removed at the end either way.
// Each size is swapped and undone five times; the median of each is shown.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "fs/local_file_system.h"
#include "swap/swap_plan.h"
#include "swap/swapper.h"
#include "workspace/workspace.h"

namespace {

using namespace loftswitch;
using Clock = std::chrono::steady_clock;

constexpr char kId[] = "00000000000000be";
constexpr int kRounds = 5;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool fill(LocalFileSystem& fs, const std::filesystem::path& folder, const char* prefix,
          std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s-%05zu.dat", prefix, i);
    if (!fs.writeFile(folder / name, std::string(64, 'x'))) return false;
  }
  return fs.writeFile(folder / "App.exe", prefix).has_value();
}

// One size: N old entries replaced by N new ones, the executable included.
bool measure(LocalFileSystem& fs, const std::filesystem::path& root, std::size_t entries) {
  const std::filesystem::path install = root / ("n" + std::to_string(entries)) / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  if (!fill(fs, install, "old", entries - 1) ||
      !fill(fs, stagedFolder(workspace, kId), "new", entries - 1)) {
    std::fprintf(stderr, "can't create the files for %zu entries\n", entries);
    return false;
  }
  Result<std::vector<Move>> plan = planSwap(fs, workspace, kId, {}, "App.exe");
  if (!plan) {
    std::fprintf(stderr, "can't plan: %s\n", plan.error().message.c_str());
    return false;
  }
  Swapper swapper(fs, workspace, kId, 20, 50, 1000,
                  [](std::int64_t ms) { ::Sleep(static_cast<DWORD>(ms)); }, {});
  std::vector<double> swaps;
  std::vector<double> undos;
  for (int round = 0; round < kRounds; ++round) {
    Clock::time_point start = Clock::now();
    if (Result<Unit> swapped = swapper.run(*plan); !swapped) {
      std::fprintf(stderr, "swap failed: %s\n", swapped.error().message.c_str());
      return false;
    }
    swaps.push_back(millisecondsSince(start));
    start = Clock::now();
    if (Result<Unit> undone = swapper.undo(*plan); !undone) {
      std::fprintf(stderr, "undo failed: %s\n", undone.error().message.c_str());
      return false;
    }
    undos.push_back(millisecondsSince(start));
  }
  const double swapMs = median(swaps);
  const double undoMs = median(undos);
  std::printf("%8zu %8zu %12.1f %12.1f %14.3f %14.3f\n", entries, plan->size(), swapMs, undoMs,
              swapMs / static_cast<double>(plan->size()),
              undoMs / static_cast<double>(plan->size()));
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::filesystem::path scratch = std::filesystem::temp_directory_path();
  int first = 1;
  if (argc > 1 && std::wcsspn(argv[1], L"0123456789") != std::wcslen(argv[1])) {
    scratch = argv[1];
    first = 2;
  }
  std::vector<std::size_t> sizes;
  for (int i = first; i < argc; ++i) {
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(argv[i], &end, 10);
    if (value < 1 || *end != L'\0') {
      std::fprintf(stderr, "usage: bench-swap [scratch folder] [entries ...]   (each at least 1)\n");
      return 64;
    }
    sizes.push_back(value);
  }
  if (sizes.empty()) sizes = {10, 100, 1000};

  LocalFileSystem fs;
  const std::filesystem::path root = scratch / ("loftswitch-bench-" + randomToken(8));
  std::printf("median of %d rounds, in %s\n", kRounds, pathToUtf8(root).c_str());
  std::printf("%8s %8s %12s %12s %14s %14s\n", "entries", "moves", "swap ms", "undo ms",
              "ms/move swap", "ms/move undo");
  bool good = true;
  for (std::size_t entries : sizes) good = measure(fs, root, entries) && good;
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return good ? 0 : 1;
}
