#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace loftswitch {

enum class Layout : std::uint32_t { folder = 0, bundle = 1 };

// Where an application's update workspace lies and what it belongs to.
struct Workspace {
  Layout layout = Layout::folder;
  // The install folder (folder layout) or the folder holding the bundle.
  std::filesystem::path targetRoot;
  std::filesystem::path workspacePath;
  // Bundle layout: the bundle's folder name, ending in ".app".
  std::string bundleName;

  friend bool operator==(const Workspace&, const Workspace&) = default;
};

// 16 lower-case hex digits: the only names an attempt's folders may have.
bool isAttemptId(std::string_view text);

// Decides by the name alone, touching no file: ".loftswitch" (folder layout)
// or ".<App>.app.loftswitch" (bundle layout).
std::optional<Workspace> recognizeWorkspace(const std::filesystem::path& work);

// The workspace that belongs to an install folder or a bundle.
Workspace workspaceForInstall(const std::filesystem::path& location, Layout layout);

// The install folder, or the bundle's path.
std::filesystem::path appLocation(const Workspace& workspace);

std::filesystem::path lockPath(const Workspace& workspace);
std::filesystem::path journalPath(const Workspace& workspace);
std::filesystem::path logsFolder(const Workspace& workspace);
std::filesystem::path trashFolder(const Workspace& workspace);
std::filesystem::path stageFolder(const Workspace& workspace, std::string_view id);
std::filesystem::path stagedFolder(const Workspace& workspace, std::string_view id);
std::filesystem::path replacedFolder(const Workspace& workspace, std::string_view id);
std::filesystem::path progressPath(const Workspace& workspace, std::string_view id);
std::filesystem::path backupFolder(const Workspace& workspace, std::string_view id);
// Space the swap sets by so that its undo needs none: "stage"/id/"reserve".
std::filesystem::path reservePath(const Workspace& workspace, std::string_view id);
// What a rollback of the attempt set aside: "kept"/id, beyond what staging
// removes.
std::filesystem::path keptFolder(const Workspace& workspace, std::string_view id);

}  // namespace loftswitch
