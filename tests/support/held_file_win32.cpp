#include <windows.h>

#include "base/file.h"
#include "base/text.h"
#include "host/process_handle_win32.h"
#include "support/held_file.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {

struct HeldFile::Process : ProcessHandle {};

HeldFile::HeldFile(const std::filesystem::path& path, unsigned forMs,
                   const std::filesystem::path& image)
    : process_(std::make_unique<Process>()) {
  markers_ = std::filesystem::temp_directory_path() / ("loftswitch-held-" + randomToken(8));
  std::filesystem::create_directories(markers_);
  if (!image.empty()) {
    std::filesystem::create_directories(image.parent_path());
    std::filesystem::copy_file(builtProgram("hold-file"), image);
  }
  auto started = startProcess({image.empty() ? builtProgram("hold-file") : image,
                               {pathToUtf8(path), pathToUtf8(markers_ / "ready"),
                                pathToUtf8(markers_ / "release"), std::to_string(forMs)},
                               {}, {}, false});
  if (!started) return;
  static_cast<ProcessHandle&>(*process_) = std::move(*started);
  // Held once the marker appears; a process that ends first never held it.
  while (!std::filesystem::exists(markers_ / "ready") &&
         ::WaitForSingleObject(process_->handle.get(), 5) != WAIT_OBJECT_0) {
  }
  held_ = std::filesystem::exists(markers_ / "ready");
}

HeldFile::~HeldFile() {
  release();
  std::error_code ignored;
  std::filesystem::remove_all(markers_, ignored);
}

ProcessIdentity HeldFile::identity() const {
  return {process_->pid, processCreationTime(process_->handle.get())};
}

void HeldFile::letGo() { writeTestFile(markers_ / "release", "x"); }

void HeldFile::release() {
  if (!process_->handle) return;
  letGo();
  if (::WaitForSingleObject(process_->handle.get(), 30000) != WAIT_OBJECT_0) kill();
}

void HeldFile::kill() {
  if (!process_->handle) return;
  ::TerminateProcess(process_->handle.get(), 1);
  ::WaitForSingleObject(process_->handle.get(), INFINITE);
}

}  // namespace loftswitch
