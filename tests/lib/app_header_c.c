/* Compiled as C into the tests: the header must be valid C, and its calls */
/* must link from C, which a missing extern "C" would break. */
#include "loftswitch/app.h"

int loftswitchStageFromC(const char* install, loftswitch_progress_fn progress, void* context,
                         char* attempt_id, loftswitch_status* status) {
  return loftswitch_stage_package_with_progress(install, NULL, NULL, NULL, NULL, NULL, progress,
                                                context, attempt_id, status);
}
