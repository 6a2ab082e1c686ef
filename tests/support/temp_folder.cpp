#include "support/temp_folder.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include "base/file.h"
#include "base/text.h"

namespace loftswitch {

TempFolder::TempFolder() {
  path_ = std::filesystem::temp_directory_path() / ("loftswitch-test-" + randomToken(8));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::operator/(std::string_view name) const {
  return path_ / utf8ToPath(name);
}

void writeTestFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readTestFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace loftswitch
