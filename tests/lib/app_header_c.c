/* Compiled as C: the header must be valid C, and the calls usable from C. */
#include <stddef.h>
#include <string.h>

#include "loftswitch/app.h"

/* Returns NULL when every call behaved, else what did not. */
const char* loftswitchCallsFromC(const char* install_folder) {
  loftswitch_status status = {0, NULL};
  loftswitch_outcome outcome;
  int32_t confirmation = -1;
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE];
  memset(&outcome, 0, sizeof outcome);

  if (loftswitch_read_outcome(NULL, NULL, &outcome, &status) != LOFTSWITCH_ERROR_ARGUMENT ||
      status.code != LOFTSWITCH_ERROR_ARGUMENT || status.message == NULL ||
      strcmp(status.message, "the install folder is missing") != 0) {
    loftswitch_status_free(&status);
    return "a missing install folder is not reported as an argument error";
  }
  loftswitch_status_free(&status);
  if (status.message != NULL) return "loftswitch_status_free leaves the message";
  loftswitch_status_free(&status);
  loftswitch_status_free(NULL);

  if (loftswitch_confirm_startup(install_folder, NULL, 0, &confirmation, &status) !=
          LOFTSWITCH_OK ||
      confirmation != LOFTSWITCH_NOT_RELAUNCHED || status.message == NULL) {
    loftswitch_status_free(&status);
    return "a start that is no relaunch does not confirm nothing";
  }
  loftswitch_status_free(&status);

  if (loftswitch_read_outcome(install_folder, NULL, &outcome, &status) != LOFTSWITCH_OK ||
      outcome.present != 0 || outcome.result != NULL) {
    loftswitch_outcome_free(&outcome);
    loftswitch_status_free(&status);
    return "an install without a journal has an outcome";
  }
  loftswitch_outcome_free(&outcome);
  loftswitch_status_free(&status);

  /* No status at all is allowed: the code alone comes back. */
  if (loftswitch_stage_package(install_folder, NULL, "{}", "x.zip", "{}", NULL, id, NULL) !=
          LOFTSWITCH_ERROR_ARGUMENT ||
      id[0] != '\0') {
    return "a bad install description is not an argument error";
  }
  if (loftswitch_start_apply(install_folder, NULL, "not-an-id", NULL, NULL) !=
      LOFTSWITCH_ERROR_ARGUMENT) {
    return "a bad attempt id is not an argument error";
  }
  if (loftswitch_mark_reported(install_folder, NULL, "0123456789abcdef", 0, NULL) !=
      LOFTSWITCH_ERROR_NOT_FOUND) {
    return "marking an attempt without a journal is not reported as not found";
  }
  return NULL;
}
