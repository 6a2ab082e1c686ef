#include "workspace/workspace.h"

#include "base/text.h"

namespace loftswitch {
namespace {

// Lexically normal, without a trailing separator (a root keeps its own).
std::filesystem::path normalTrimmed(const std::filesystem::path& path) {
  std::filesystem::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

std::filesystem::path component(std::string_view ascii) { return utf8ToPath(ascii); }

}  // namespace

bool isAttemptId(std::string_view text) {
  if (text.size() != 16) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<Workspace> recognizeWorkspace(const std::filesystem::path& work) {
  const std::filesystem::path normal = normalTrimmed(work);
  if (!normal.has_filename()) return std::nullopt;
  const std::string name = pathToUtf8(normal.filename());
  Workspace workspace;
  workspace.workspacePath = normal;
  workspace.targetRoot = normal.parent_path();
  if (name == ".loftswitch") {
    workspace.layout = Layout::folder;
    return workspace;
  }
  constexpr std::string_view kSuffix = ".loftswitch";
  if (name.size() >= 13 && name.starts_with('.') && name.ends_with(kSuffix)) {
    const std::string inner = name.substr(1, name.size() - 1 - kSuffix.size());
    if (inner.size() >= 5 && inner.ends_with(".app")) {
      workspace.layout = Layout::bundle;
      workspace.bundleName = inner;
      return workspace;
    }
  }
  return std::nullopt;
}

Workspace workspaceForInstall(const std::filesystem::path& location, Layout layout) {
  const std::filesystem::path normal = normalTrimmed(location);
  Workspace workspace;
  workspace.layout = layout;
  if (layout == Layout::folder) {
    workspace.targetRoot = normal;
    workspace.workspacePath = normal / utf8ToPath(".loftswitch");
    return workspace;
  }
  workspace.targetRoot = normal.parent_path();
  workspace.bundleName = pathToUtf8(normal.filename());
  workspace.workspacePath =
      workspace.targetRoot / utf8ToPath("." + workspace.bundleName + ".loftswitch");
  return workspace;
}

std::filesystem::path appLocation(const Workspace& workspace) {
  if (workspace.layout == Layout::folder) return workspace.targetRoot;
  return workspace.targetRoot / utf8ToPath(workspace.bundleName);
}

std::filesystem::path lockPath(const Workspace& w) { return w.workspacePath / utf8ToPath("lock"); }
std::filesystem::path journalPath(const Workspace& w) {
  return w.workspacePath / utf8ToPath("journal.json");
}
std::filesystem::path logsFolder(const Workspace& w) {
  return w.workspacePath / utf8ToPath("logs");
}
std::filesystem::path trashFolder(const Workspace& w) {
  return w.workspacePath / utf8ToPath("trash");
}

std::filesystem::path stageFolder(const Workspace& w, std::string_view id) {
  return w.workspacePath / utf8ToPath("stage") / component(id);
}
std::filesystem::path stagedFolder(const Workspace& w, std::string_view id) {
  return stageFolder(w, id) / utf8ToPath("new");
}
std::filesystem::path replacedFolder(const Workspace& w, std::string_view id) {
  return stageFolder(w, id) / utf8ToPath("replaced");
}
std::filesystem::path progressPath(const Workspace& w, std::string_view id) {
  return stageFolder(w, id) / utf8ToPath("progress");
}
std::filesystem::path backupFolder(const Workspace& w, std::string_view id) {
  return w.workspacePath / utf8ToPath("backup") / component(id);
}
std::filesystem::path reservePath(const Workspace& w, std::string_view id) {
  return stageFolder(w, id) / utf8ToPath("reserve");
}
std::filesystem::path keptFolder(const Workspace& w, std::string_view id) {
  return w.workspacePath / utf8ToPath("kept") / component(id);
}

}  // namespace loftswitch
