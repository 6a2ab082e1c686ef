#pragma once

#include "loftswitch/app.h"

namespace loftswitch {

// The application library's C functions as the built loftswitch-app-1.dll
// exports them, for tests that call what an app calls.
struct AppDll {
  decltype(&loftswitch_stage_package_with_progress) stagePackage;
  decltype(&loftswitch_read_outcome) readOutcome;
  decltype(&loftswitch_mark_reported) markReported;
  decltype(&loftswitch_outcome_free) outcomeFree;
  decltype(&loftswitch_status_free) statusFree;
  decltype(&loftswitch_check_for_update) checkForUpdate;
  decltype(&loftswitch_download_update) downloadUpdate;
  decltype(&loftswitch_offer_free) offerFree;
  decltype(&loftswitch_offer_kind) offerKind;
  decltype(&loftswitch_string_free) stringFree;
};

// Loads the DLL beside the tests once, and keeps it; a missing DLL or
// function fails the test that asks.
const AppDll& appDll();

}  // namespace loftswitch
