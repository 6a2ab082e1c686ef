#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace loftswitch {

// A fresh folder under the system's temporary folder, removed with all it
// holds when the test ends.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// Writes a file with the given bytes, creating its folders.
void writeTestFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file; empty when it cannot be read.
std::string readTestFile(const std::filesystem::path& path);

}  // namespace loftswitch
