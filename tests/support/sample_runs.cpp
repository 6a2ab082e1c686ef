#include "support/sample_runs.h"

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "support/temp_folder.h"

namespace loftswitch {

std::map<std::string, std::string> installFiles(const std::filesystem::path& install) {
  std::map<std::string, std::string> files;
  for (auto it = std::filesystem::recursive_directory_iterator(install);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    const auto relative = it->path().lexically_relative(install);
    if (relative.begin()->native() == L".loftswitch") {
      it.disable_recursion_pending();
    } else if (it->is_regular_file()) {
      files[pathToUtf8(relative)] = readTestFile(it->path());
    }
  }
  return files;
}

std::vector<std::string> startedVersions(const std::filesystem::path& runs,
                                         std::string_view attempt, std::size_t count) {
  std::vector<std::string> versions;
  for (int i = 0; i < 200 && versions.size() < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    versions.clear();
    const std::string text = readTestFile(runs);
    // A line still being written has no line feed yet.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const auto line = nlohmann::json::parse(text.substr(start, end - start));
      versions.push_back(line["attempt"] == attempt ? line["version"].get<std::string>() : "?");
    }
  }
  return versions;
}

void removeWhenFree(const std::filesystem::path& folder) {
  for (int i = 0; i < 100; ++i) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    if (!error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace loftswitch
