#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "elevated/folder_check.h"
#include "fs/file_system.h"
#include "host/apply_host.h"

namespace loftswitch {

// What the program takes from the machine. Only the entry point fills it,
// with the real file system, host and folder checks.
struct Platform {
  FileSystem& fileSystem;
  ApplyHost& host;
  // Refuses folders that users who aren't administrators could change.
  FolderCheck folderCheck;
  // Refuses files that users who aren't administrators could change.
  FolderCheck fileCheck;
  // Makes a new folder that only administrators can use from the start.
  FolderCheck createRestricted;
  // Lets a folder and its content take their permissions from where it lies.
  FolderCheck inheritPermissions;
  // The running program; the elevated mode works on the install folder that
  // holds it.
  std::filesystem::path executable;
};

// Parses the UTF-8 arguments, runs the chosen mode and returns the exit code.
int mainRoutine(const std::vector<std::string>& args, Platform& platform);

}  // namespace loftswitch
