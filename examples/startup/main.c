/*
 * What every start of an application does with loftswitch: confirm the
 * update that this start may be the new version of, then tell the user how
 * the last update ended, once.
 *
 *   startup <install folder>
 *
 * Exits 0 when every call worked, 1 otherwise. Build it against an installed
 * SDK with CMake (find_package(loftswitch CONFIG), see CMakeLists.txt) or with
 * pkg-config:
 *
 *   x86_64-w64-mingw32-gcc main.c -o startup.exe \
 *       $(pkg-config --cflags --static --libs loftswitch-app)
 */
#include <stdio.h>
#include <string.h>

#include <loftswitch/app.h>

static int failed(const char* what, loftswitch_status* status) {
  fprintf(stderr, "%s: %s\n", what, status->message ? status->message : "out of memory");
  loftswitch_status_free(status);
  return 1;
}

int main(int argc, char** argv) {
  loftswitch_status status = {0, NULL};
  loftswitch_outcome outcome;
  int32_t confirmation = LOFTSWITCH_NOT_RELAUNCHED;
  const char* install = argc > 1 ? argv[1] : ".";

  /* A DLL or library of another release than this header is a packaging
     mistake worth stopping for. */
  printf("loftswitch %s (library %s)\n", LOFTSWITCH_VERSION, loftswitch_version());
  if (strcmp(LOFTSWITCH_VERSION, loftswitch_version()) != 0) return 1;

  if (loftswitch_confirm_startup(install, NULL, 10000, &confirmation, &status) != LOFTSWITCH_OK) {
    return failed("can't confirm the update", &status);
  }
  printf("%s\n", status.message);
  loftswitch_status_free(&status);

  memset(&outcome, 0, sizeof outcome);
  if (loftswitch_read_outcome(install, NULL, &outcome, &status) != LOFTSWITCH_OK) {
    return failed("can't read the last update's outcome", &status);
  }
  loftswitch_status_free(&status);
  if (!outcome.present) {
    printf("no update to report\n");
    return 0;
  }
  printf("update %s -> %s: %s %s %s\n", outcome.from_version, outcome.to_version, outcome.result,
         outcome.reason, outcome.detail);
  if (loftswitch_mark_reported(install, NULL, outcome.attempt_id, 10000, &status) !=
      LOFTSWITCH_OK) {
    loftswitch_outcome_free(&outcome);
    return failed("can't mark the outcome reported", &status);
  }
  loftswitch_status_free(&status);
  loftswitch_outcome_free(&outcome);
  return 0;
}
