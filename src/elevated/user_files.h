#pragma once

// What the elevated helper opens on the word of the user who asked for the
// update: the request, the package and the markers in the user's workspace.
// Every folder on those paths is the user's, so the helper opens them with
// the user's rights, never its own, and judges the open file, not its name.

#include <filesystem>
#include <functional>
#include <optional>

#include "base/file.h"
#include "base/outcome.h"
#include "base/result.h"

namespace loftswitch {

// Opens an existing file for reading as the user who asked, and refuses
// (`invalidData`) what the open handle shows to be anything but a file on a
// disk of this machine: a share, a redirected drive, a device or a pipe.
using UserFileOpener = std::function<Result<OpenFile>(const std::filesystem::path&)>;

// The opener that acts as the user of the app's process or, once the app has
// exited, of the waiter it started: `loftswitch-apply.exe` in the request's
// folder, a child of the app. `accessDenied` when neither runs.
[[nodiscard]] Result<UserFileOpener> userFileOpener(std::optional<ProcessIdentity> app,
                                                    const std::filesystem::path& requestFolder);

}  // namespace loftswitch
