#pragma once

// Which zip entry names may be written below a folder: plain relative paths
// that stay inside it and that Windows stores exactly as written.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace loftswitch {

struct AcceptedName {
  std::vector<std::string> components;
  // The stored name ended with a slash (or a backslash).
  bool folderName = false;
};

// The components of an acceptable entry name, or a `badLayout` error made by
// `entryError`.
[[nodiscard]] Result<AcceptedName> checkEntryName(std::string_view name);

// Nothing when the component is acceptable, else the detail that says why not.
std::optional<std::string> checkComponent(std::string_view component);

// CON, prn.txt, "nul .log", COM1, lpt² and the like: names Windows opens as
// devices whatever their extension.
bool isWindowsDeviceName(std::string_view component);

// `badLayout` with "package entry \"<name>\" <detail>". Bytes of the name that
// are control characters (U+0000 to U+001F, U+007F to U+009F) or not UTF-8 are
// shown as \xNN, so that the message stays printable, valid text for logs and
// journals.
Error entryError(std::string_view name, std::string_view detail);

}  // namespace loftswitch
