/* Compiled as C: the header must be valid C, and the calls usable from C. */
#include <stddef.h>
#include <string.h>

#include "loftswitch/app.h"

/* Returns NULL when the calls behaved, else what did not. */
const char* loftswitchCallsFromC(const char* install_folder) {
  loftswitch_status status = {0, NULL};
  loftswitch_outcome outcome;
  int read;
  memset(&outcome, 0, sizeof outcome);
  read = loftswitch_read_outcome(install_folder, NULL, &outcome, &status);
  loftswitch_outcome_free(&outcome);
  loftswitch_status_free(&status);
  if (read != LOFTSWITCH_OK || status.message != NULL) return "an empty install has no outcome";
  return NULL;
}
