#include "swap/swap_plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "base/text.h"
#include "swap/swapper.h"

namespace loftswitch {
namespace {

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      pieces.emplace_back(path.substr(start));
      return pieces;
    }
    pieces.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

std::filesystem::path under(std::filesystem::path root, const std::vector<std::string>& pieces,
                            std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) root /= utf8ToPath(pieces[i]);
  return root;
}

std::string joinPieces(const std::vector<std::string>& pieces, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += '/';
    out += pieces[i];
  }
  return out;
}

bool equalsFolded(std::string_view a, std::string_view b) { return asciiLower(a) == asciiLower(b); }

// The executable's top-level entry: last out of the install, first back in.
void moveToEnd(std::vector<std::string>& names, std::string_view top) {
  auto it = std::find_if(names.begin(), names.end(),
                         [&](const std::string& name) { return equalsFolded(name, top); });
  if (it != names.end()) std::rotate(it, it + 1, names.end());
}

void moveToFront(std::vector<std::string>& names, std::string_view top) {
  auto it = std::find_if(names.begin(), names.end(),
                         [&](const std::string& name) { return equalsFolded(name, top); });
  if (it != names.end()) std::rotate(names.begin(), it, it + 1);
}

Result<std::vector<Move>> finishPlan(const Workspace& workspace, std::string_view attemptId,
                                     std::vector<Move> moves, std::vector<std::string> oldNames,
                                     std::vector<std::string> newNames, std::string_view topName) {
  moveToEnd(oldNames, topName);
  moveToFront(newNames, topName);
  for (std::string& name : oldNames) moves.push_back(Move{Location::target, Location::backup, name});
  for (std::string& name : newNames) moves.push_back(Move{Location::stage, Location::target, name});
  // Names come from disk. One that the swap would refuse (Windows drops a
  // trailing dot or space) must stop the update before "swapping" is
  // recorded, or the undo would face a move that can never be made.
  for (const Move& move : moves) {
    for (Location location : {move.from, move.to}) {
      if (!resolveMovePath(workspace, location, attemptId, move.path)) {
        return fail(ErrorCode::invalidData, "\"" + move.path +
                                                "\" can't be moved: its name isn't one that "
                                                "Windows keeps as it is");
      }
    }
  }
  return moves;
}

}  // namespace

std::optional<std::string> preservedPathProblem(std::string_view path, std::string_view executable) {
  if (!isSafeMovePath(path)) {
    return "must be relative and inside the install folder, with no name that ends in a dot or "
           "a space";
  }
  const std::string folded = asciiLower(path);
  for (const std::string_view replaced : {executable, std::string_view("loftswitch.json"),
                                          std::string_view("loftswitch-apply.exe")}) {
    const std::string other = asciiLower(replaced);
    if (other == folded || other.starts_with(folded + "/")) {
      return "would keep the previous version's " + std::string(replaced) +
             ", which every update must replace";
    }
  }
  return std::nullopt;
}

Result<std::optional<std::string>> findInstalledPath(FileSystem& fileSystem,
                                                     const std::filesystem::path& folder,
                                                     std::string_view relativePath) {
  const std::vector<std::string> pieces = splitPath(relativePath);
  std::filesystem::path current = folder;
  std::string result;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    ASSIGN_OR_RETURN(const std::vector<std::string> names, fileSystem.list(current));
    auto found = std::find(names.begin(), names.end(), pieces[i]);
    if (found == names.end()) {
      found = std::find_if(names.begin(), names.end(),
                           [&](const std::string& name) { return equalsFolded(name, pieces[i]); });
    }
    if (found == names.end()) return std::optional<std::string>();
    if (!result.empty()) result += '/';
    result += *found;
    current /= utf8ToPath(*found);
    if (i + 1 < pieces.size()) {
      // Listing a link would list whatever it points to, possibly outside
      // the install; a path through one is not the install's own.
      ASSIGN_OR_RETURN(const EntryKind kind, fileSystem.probe(current));
      if (kind != EntryKind::folder) return std::optional<std::string>();
    }
  }
  return std::optional<std::string>(std::move(result));
}

Result<std::vector<Move>> planSwap(FileSystem& fileSystem, const Workspace& workspace,
                                   std::string_view attemptId,
                                   const std::vector<std::string>& preserve,
                                   std::string_view executable) {
  const std::filesystem::path staged = stagedFolder(workspace, attemptId);

  if (workspace.layout == Layout::bundle) {
    const std::string& bundle = workspace.bundleName;
    ASSIGN_OR_RETURN(const EntryKind shipped, fileSystem.probe(staged / utf8ToPath(bundle)));
    if (shipped == EntryKind::missing) {
      return fail(ErrorCode::notFound, "the staged bundle " + bundle + " is missing");
    }
    ASSIGN_OR_RETURN(const EntryKind installed,
                     fileSystem.probe(workspace.targetRoot / utf8ToPath(bundle)));
    std::vector<std::string> oldNames;
    if (installed != EntryKind::missing) oldNames.push_back(bundle);
    return finishPlan(workspace, attemptId, {}, std::move(oldNames), {bundle}, bundle);
  }

  const std::string topName(executable.substr(0, executable.find('/')));
  ASSIGN_OR_RETURN(std::vector<std::string> installNames, fileSystem.list(workspace.targetRoot));
  Result<std::vector<std::string>> stagedNames = fileSystem.list(staged);
  if (!stagedNames) {
    return fail(ErrorCode::notFound, "the staged update is missing: " + stagedNames.error().message);
  }

  // Folded order puts every path right after the paths it lies in, whatever
  // their letter case, so the nesting test below sees the outer one first.
  std::vector<std::string> sorted = preserve;
  std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
    const std::string fa = asciiLower(a);
    const std::string fb = asciiLower(b);
    return fa != fb ? fa < fb : a < b;
  });
  std::vector<std::string> kept;
  std::vector<std::string> keptFolded;
  for (const std::string& path : sorted) {
    if (auto problem = preservedPathProblem(path, executable)) {
      return fail(ErrorCode::invalidData, "preserve path \"" + path + "\" " + *problem);
    }
    const std::string folded = asciiLower(path);
    // The workspace is never part of what an update keeps or replaces.
    if (folded == ".loftswitch" || folded.starts_with(".loftswitch/")) continue;
    const bool inside = std::any_of(keptFolded.begin(), keptFolded.end(), [&](const std::string& k) {
      return folded == k || folded.starts_with(k + "/");
    });
    if (inside) continue;
    ASSIGN_OR_RETURN(std::optional<std::string> installed,
                     findInstalledPath(fileSystem, workspace.targetRoot, path));
    if (!installed) continue;
    keptFolded.push_back(asciiLower(*installed));
    kept.push_back(std::move(*installed));
  }

  std::map<std::string, std::string> newEntries;
  for (const std::string& name : *stagedNames) newEntries.emplace(asciiLower(name), name);
  std::set<std::string> keptTopNames;
  std::vector<Move> moves;
  for (const std::string& path : kept) {
    const std::vector<std::string> pieces = splitPath(path);
    for (std::size_t count = 1; count < pieces.size(); ++count) {
      ASSIGN_OR_RETURN(const EntryKind kind, fileSystem.probe(under(staged, pieces, count)));
      if (kind != EntryKind::missing && kind != EntryKind::folder) {
        return fail(ErrorCode::invalidData, "the preserved path " + path +
                                                " conflicts with the update's file " +
                                                joinPieces(pieces, count));
      }
    }
    ASSIGN_OR_RETURN(const EntryKind shipped, fileSystem.probe(under(staged, pieces, pieces.size())));
    if (shipped != EntryKind::missing) {
      moves.push_back(Move{Location::stage, Location::replaced, path});
    }
    moves.push_back(Move{Location::target, Location::stage, path});
    if (pieces.size() == 1) keptTopNames.insert(asciiLower(path));
    newEntries.emplace(asciiLower(pieces[0]), pieces[0]);
  }

  std::vector<std::string> oldNames;
  for (const std::string& name : installNames) {
    const std::string folded = asciiLower(name);
    if (folded == ".loftswitch" || keptTopNames.contains(folded)) continue;
    oldNames.push_back(name);
  }
  std::vector<std::string> newNames;
  for (const auto& [folded, name] : newEntries) newNames.push_back(name);
  std::sort(newNames.begin(), newNames.end());
  if (!newEntries.contains(asciiLower(topName))) {
    return fail(ErrorCode::notFound, "the update has no " + topName);
  }
  return finishPlan(workspace, attemptId, std::move(moves), std::move(oldNames),
                    std::move(newNames), topName);
}

}  // namespace loftswitch
