#pragma once

// The Win32 handle inside an OpenFile, for Win32 code that checks what an
// open file is.

#include <windows.h>

#include "base/file.h"
#include "base/unique_handle_win32.h"

namespace loftswitch {

struct OpenFile::Native {
  explicit Native(UniqueFileHandle owned) : handle(std::move(owned)) {}
  UniqueFileHandle handle;
};

}  // namespace loftswitch
