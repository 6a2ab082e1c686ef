/* An application's whole update, from a feed: confirm this start, check the
 * feed, download, stage, and hand over to loftswitch-apply, then exit.
 *   update <install folder> <feed URL> [<stage options JSON>]
 * Exits 0 when every step worked (or nothing newer is offered). */
#include <stdio.h>

#include <loftswitch/app.h>

static int step(int code, const char* name, loftswitch_status* status) {
  fprintf(code == LOFTSWITCH_OK ? stdout : stderr, "%s: %s\n", name,
          status->message ? status->message : "out of memory");
  loftswitch_status_free(status);
  return code;
}

int main(int argc, char** argv) {
  loftswitch_status status = {0, NULL};
  loftswitch_offer offer = {0};
  char attempt[LOFTSWITCH_ATTEMPT_ID_SIZE];
  char* package = NULL;
  int32_t confirmation;
  int code;
  if (argc < 3) return 64;
  if (step(loftswitch_confirm_startup(argv[1], NULL, 10000, &confirmation, &status), "confirm", &status) ||
      step(loftswitch_check_for_update(argv[1], NULL, argv[2], NULL, &offer, &status), "check", &status))
    return 1;
  code = offer.present ? loftswitch_download_update(argv[1], NULL, &offer, NULL, NULL, &package, &status)
                       : LOFTSWITCH_OK;
  if (offer.present && !step(code, "download", &status))
    code = step(loftswitch_stage_package(argv[1], NULL, NULL, package, offer.signed_json,
                                         argc > 3 ? argv[3] : NULL, attempt, &status), "stage", &status);
  if (offer.present && code == LOFTSWITCH_OK) /* the tool waits for this process to exit */
    code = step(loftswitch_start_apply(argv[1], NULL, attempt, NULL, &status), "apply", &status);
  loftswitch_string_free(package);
  loftswitch_offer_free(&offer);
  return code == LOFTSWITCH_OK ? 0 : 1;
}
