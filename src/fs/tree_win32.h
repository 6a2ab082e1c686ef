#pragma once

// Walking and deleting folder trees through open handles: every folder is
// opened once without following links, listed through that handle, and each
// child is opened relative to it, so that a name swapped for a junction after
// the listing leads nowhere outside the tree.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_handle_win32.h"

namespace loftswitch {

struct FolderEntry {
  std::wstring name;
  DWORD attributes = 0;
};

// A folder or file held open for a walk, with the path it was reached by.
struct OpenEntry {
  UniqueFileHandle handle;
  std::wstring path;
  DWORD attributes = 0;

  bool isFolder() const {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           FILE_ATTRIBUTE_DIRECTORY;
  }
  bool isLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// Opens a long-form path itself (a link as the link) for a walk; `access` is
// added to what the walk needs (reading attributes, listing, waiting).
// Returns a Windows error or 0.
DWORD openForWalk(const std::wstring& path, ACCESS_MASK access, OpenEntry& entry);

// Opens `name` inside the open folder `parent` without following a link.
// With `verify`, also checks that the handle reached the entry itself: a
// system that follows links anyway (Wine follows Unix links) then gives
// ERROR_NOT_SUPPORTED instead of a handle on the link's target; reading
// walks that only look may leave that costly check out. Returns a Windows
// error or 0.
DWORD openChild(const OpenEntry& parent, std::wstring_view name, ACCESS_MASK access,
                OpenEntry& child, bool verify = true);

// The entries of an open folder other than "." and "..", in the order the
// file system gives them. Returns a Windows error or 0.
DWORD listOpenFolder(const OpenEntry& folder, std::vector<FolderEntry>& entries);

// Called with the long form of each folder after it has been listed and
// before its children are deleted; tests swap entries there.
using AfterListing = std::function<void(const std::wstring& folder)>;

// Deletes a file, a link (never what it points to) or a whole folder tree
// through handles. A missing path is removed already. Returns the first
// Windows error met, the other entries still tried, or 0.
DWORD removeTree(const std::wstring& path, const AfterListing& afterListing = {});

}  // namespace loftswitch
