#include "support/app_dll.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <type_traits>

#include "support/programs.h"

namespace loftswitch {

const AppDll& appDll() {
  static const AppDll functions = [] {
    const HMODULE dll = ::LoadLibraryW(
        (builtProgram("loftswitch-tests").parent_path() / L"loftswitch-app-1.dll").c_str());
    const auto get = [dll](auto& function, const char* name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
          reinterpret_cast<void*>(dll ? ::GetProcAddress(dll, name) : nullptr));
      EXPECT_NE(function, nullptr) << "loftswitch-app-1.dll exports no " << name;
    };
    AppDll out{};
    get(out.stagePackage, "loftswitch_stage_package_with_progress");
    get(out.readOutcome, "loftswitch_read_outcome");
    get(out.markReported, "loftswitch_mark_reported");
    get(out.outcomeFree, "loftswitch_outcome_free");
    get(out.statusFree, "loftswitch_status_free");
    get(out.checkForUpdate, "loftswitch_check_for_update");
    get(out.downloadUpdate, "loftswitch_download_update");
    get(out.offerFree, "loftswitch_offer_free");
    get(out.offerKind, "loftswitch_offer_kind");
    get(out.stringFree, "loftswitch_string_free");
    return out;
  }();
  return functions;
}

}  // namespace loftswitch
