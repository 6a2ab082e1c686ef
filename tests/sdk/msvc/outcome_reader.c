/*
 * Built by clang for windows-msvc and linked by lld-link through the SDK's
 * loftswitch-app.lib, as Microsoft's toolchain links an app, but without its
 * C runtime, which Debian lacks: msvcrt.dll's printf is declared here. It
 * reads the outcome in the current folder through the DLL and prints every
 * field, so that a layout or a code the two compilers see differently shows.
 */
#include <loftswitch/app.h>

__declspec(dllimport) int printf(const char* format, ...);
__declspec(dllimport) void exit(int code);

/* Zeroed as a static, as a loop could become a call to the missing memset. */
static loftswitch_outcome outcome;

void start(void) {
  loftswitch_status status = {0, 0};
  int read;
  outcome.size = sizeof outcome;
  read = loftswitch_read_outcome(".", 0, &outcome, &status);
  loftswitch_status_free(&status);
  printf("abi compatible %d\nread %d present %d result %d reason %d\n%s %s\n%s %s %s\n",
         LOFTSWITCH_ABI_COMPATIBLE(loftswitch_abi_version()), read, (int)outcome.present,
         (int)outcome.result_code, (int)outcome.reason_code, outcome.from_version,
         outcome.to_version, outcome.result, outcome.reason, outcome.detail);
  printf("marked %d\n", loftswitch_mark_reported(".", 0, outcome.attempt_id, 1000, &status));
  loftswitch_status_free(&status);
  loftswitch_outcome_free(&outcome);
  exit(0);
}
