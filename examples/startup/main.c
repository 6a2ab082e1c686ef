/*
 * What an application does with loftswitch, as one small program:
 *
 *   startup [<install folder>]
 *       what every start does: confirm the update that this start may be the
 *       new version of, then tell the user how the last update ended, once;
 *   startup <install folder> <package.zip> <signed.json>
 *       what it does with a downloaded update: stage the package, start
 *       loftswitch-apply and exit at once, so that the tool can replace it.
 *
 * The install folder is the current one when not given (a relaunched new
 * version starts there). Exits 0 when every call worked, 1 otherwise. Build
 * it against an installed SDK with CMake (find_package(loftswitch), see
 * CMakeLists.txt) or with pkg-config, as the README shows.
 */
#include <stdio.h>
#include <string.h>

#include <loftswitch/app.h>

static int failed(const char* what, loftswitch_status* status) {
  fprintf(stderr, "%s: %s\n", what, status->message ? status->message : "out of memory");
  loftswitch_status_free(status);
  return 1;
}

/* The text of a small file, NUL-terminated; NULL when it can't be read. */
static char* read_text(const char* path) {
  static char text[65536];
  size_t size;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  size = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[size] = '\0';
  return text;
}

static int stage_and_start(const char* install, const char* package, const char* signed_path) {
  loftswitch_status status = {0, NULL};
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE];
  /* loftswitch_stage_package takes the signed fields' text, not their file. */
  const char* signed_json = read_text(signed_path);
  if (signed_json == NULL) {
    fprintf(stderr, "can't read %s\n", signed_path);
    return 1;
  }
  if (loftswitch_stage_package(install, NULL, NULL, package, signed_json, NULL, id, &status) !=
      LOFTSWITCH_OK) {
    return failed("can't stage the update", &status);
  }
  printf("%s\n", status.message);
  loftswitch_status_free(&status);
  if (loftswitch_start_apply(install, NULL, id, NULL, &status) != LOFTSWITCH_OK) {
    return failed("can't start the update", &status);
  }
  printf("%s\n", status.message);
  loftswitch_status_free(&status);
  return 0; /* and exit now: the tool waits for this process to end */
}

int main(int argc, char** argv) {
  loftswitch_status status = {0, NULL};
  loftswitch_outcome outcome;
  int32_t confirmation = LOFTSWITCH_NOT_RELAUNCHED;
  const uint32_t abi = loftswitch_abi_version();
  const char* install = argc > 1 ? argv[1] : ".";

  /* A DLL of another ABI is a packaging mistake worth stopping for; one of
     a later release with the same ABI serves this program as well. */
  printf("loftswitch %s, ABI %u.%u\n", loftswitch_version(), (unsigned)(abi >> 16),
         (unsigned)(abi & 0xFFFF));
  if (!LOFTSWITCH_ABI_COMPATIBLE(abi)) {
    fprintf(stderr, "this program needs the loftswitch ABI %d.%d or a later minor\n",
            LOFTSWITCH_ABI_MAJOR, LOFTSWITCH_ABI_MINOR);
    return 1;
  }
  if (argc > 3) return stage_and_start(install, argv[2], argv[3]);

  if (loftswitch_confirm_startup(install, NULL, 10000, &confirmation, &status) != LOFTSWITCH_OK) {
    return failed("can't confirm the update", &status);
  }
  printf("%s\n", status.message);
  loftswitch_status_free(&status);

  memset(&outcome, 0, sizeof outcome);
  outcome.size = sizeof outcome;
  if (loftswitch_read_outcome(install, NULL, &outcome, &status) != LOFTSWITCH_OK) {
    return failed("can't read the last update's outcome", &status);
  }
  loftswitch_status_free(&status);
  if (!outcome.present) {
    printf("no update to report\n");
    return 0;
  }
  /* Decide on the codes; show the words. */
  if (outcome.result_code == LOFTSWITCH_RESULT_UPDATED) {
    printf("updated to version %s\n", outcome.to_version);
  } else if (outcome.result_code == LOFTSWITCH_RESULT_ROLLED_BACK) {
    printf("the update to version %s didn't work out, so version %s was put back (%s: %s)\n",
           outcome.to_version, outcome.from_version, outcome.reason, outcome.detail);
  } else {
    printf("the update to version %s: %s %s\n", outcome.to_version, outcome.result,
           outcome.detail);
  }
  if (loftswitch_mark_reported(install, NULL, outcome.attempt_id, 10000, &status) !=
      LOFTSWITCH_OK) {
    loftswitch_outcome_free(&outcome);
    return failed("can't mark the outcome reported", &status);
  }
  loftswitch_status_free(&status);
  loftswitch_outcome_free(&outcome);
  return 0;
}
