/*
 * The application's side of a loftswitch update, for C and C++ and for any
 * language that can call C functions (link loftswitch_app statically, or load
 * loftswitch-app.dll and define LOFTSWITCH_APP_DLL before including this).
 *
 * An application does four things:
 *   1. loftswitch_stage_package   after it downloaded a package and its signed
 *                                 fields: verifies and unpacks it, records the
 *                                 attempt, and gives back the attempt id;
 *   2. loftswitch_start_apply     starts loftswitch-apply for that attempt; the
 *                                 application then exits, so the tool can
 *                                 replace its files;
 *   3. loftswitch_confirm_startup early in every start: when this start is the
 *                                 new version of an update, tells the tool that
 *                                 it works, so the tool does not roll back;
 *   4. loftswitch_read_outcome    how the last update ended, until
 *      loftswitch_mark_reported   says that the user has been told.
 *
 * Text is UTF-8 in and out, paths included. Every call returns a
 * loftswitch_code and, when `status` is not NULL, fills it with the same code
 * and a complete message, also on success. The message belongs to the caller
 * from then on and is released with loftswitch_status_free; a status must be
 * released (or never filled) before it is passed again. No call keeps a
 * pointer to its arguments, and none of them throws or aborts on bad input.
 */
#ifndef LOFTSWITCH_APP_H
#define LOFTSWITCH_APP_H

#include <stddef.h>
#include <stdint.h>

#include "loftswitch/version.h" /* LOFTSWITCH_VERSION, e.g. "0.1.0" */

#if defined(_WIN32) && defined(LOFTSWITCH_APP_BUILDING_DLL)
#define LOFTSWITCH_API __declspec(dllexport)
#elif defined(_WIN32) && defined(LOFTSWITCH_APP_DLL)
#define LOFTSWITCH_API __declspec(dllimport)
#else
#define LOFTSWITCH_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call did. Values never change meaning. */
enum loftswitch_code {
  LOFTSWITCH_OK = 0,
  /* A NULL, empty or malformed argument, text that is not UTF-8, or an
     install description or signed fields that do not read. */
  LOFTSWITCH_ERROR_ARGUMENT = 1,
  /* The package is not the one its publisher signed for this install: bad
     signature, not newer, another platform, wrong size or digest, a damaged
     archive or an entry that may not be written; or it would leave an install
     that cannot update again (no loftswitch.json for this app, version and
     platform, no executable, no loftswitch-apply.exe); or its version was
     rolled back on this install before. Nothing was staged. */
  LOFTSWITCH_ERROR_REJECTED = 2,
  /* A file could not be read or written. */
  LOFTSWITCH_ERROR_IO = 3,
  /* Another update holds the workspace, or an interrupted update must be
     repaired first (loftswitch-apply --repair). Try again later. */
  LOFTSWITCH_ERROR_BUSY = 4,
  /* The attempt, its journal or the tool is not where it should be. */
  LOFTSWITCH_ERROR_NOT_FOUND = 5,
  /* A program could not be started (or the administrator declined). */
  LOFTSWITCH_ERROR_LAUNCH = 6,
  /* Out of memory, or a failure no input should cause. */
  LOFTSWITCH_ERROR_INTERNAL = 7,
  /* The progress callback asked to stop: nothing was staged, and nothing of
     the attempt is left behind. */
  LOFTSWITCH_CANCELLED = 8
};

typedef struct loftswitch_status {
  int32_t code;  /* a loftswitch_code */
  char* message; /* UTF-8, NUL-terminated; NULL only when memory ran out */
} loftswitch_status;

/* The library's own version, LOFTSWITCH_VERSION as it was built; compare it
   with the header's to catch a DLL of another release. */
LOFTSWITCH_API const char* loftswitch_version(void);

/* Releases the message and empties the status; safe on an empty status and
   on NULL. */
LOFTSWITCH_API void loftswitch_status_free(loftswitch_status* status);

/* An attempt id is 16 lower-case hex digits; buffers for one hold 17 bytes. */
#define LOFTSWITCH_ATTEMPT_ID_SIZE 17

/*
 * Verifies a downloaded package and stages it as a new update attempt.
 *
 * install_folder  the application's folder (the one holding its executable
 *                 and ".loftswitch").
 * user_workspace  NULL for an install this user can change. For an install
 *                 that only an administrator can change: a folder this user
 *                 can write, e.g. %LOCALAPPDATA%\<App>\.loftswitch; the
 *                 update request for the administrator's helper goes there.
 * trust_json      the install description as loftswitch.json holds it
 *                 ("loftswitch_install": 1, "app", "version", "executable",
 *                 "platforms", "preserve", "publicKeys"); NULL reads
 *                 <install_folder>\loftswitch.json.
 * package_path    the downloaded zip package.
 * signed_json     the fields that "loftswitch-pack sign" wrote for it:
 *                 "version", "notes", "platform", "size", "sha256",
 *                 "signature", and "from" for a delta package. Other keys
 *                 are ignored.
 * options_json    NULL, or an object with any of "relaunchArgs" (array of
 *                 strings), "relaunchCwd" (string), "exitMs" and "confirmMs"
 *                 (milliseconds, at most 3600000; default 60000 each), and
 *                 "retryRolledBack" (true stages a version that was rolled
 *                 back on this install before; by default it is refused).
 * attempt_id      receives the attempt id (LOFTSWITCH_ATTEMPT_ID_SIZE bytes).
 *
 * The signature over the app id, version, platform, size, SHA-256 and notes
 * must verify with one of the trusted keys, the version must be newer than
 * the installed one, the platform one of the install's, and the package must
 * have exactly the signed size and digest while it is held open and read.
 * Then its entries are checked and written into
 * .loftswitch\stage\<id>\new; its root must hold a loftswitch.json for this
 * app, the signed version and the install's platform with at least one public
 * key, the executable that loftswitch.json names, and loftswitch-apply.exe.
 * Then the journal is written in state "staged".
 * A delta package (made by "loftswitch-pack delta", its signed fields name
 * the version it applies to in "from") is refused unless the installed
 * version is that one. Instead of unpacking, the new version is rebuilt
 * from the delta and the install's files, each of which must be exactly the
 * file the delta was made from: one that was changed or removed refuses the
 * delta (LOFTSWITCH_ERROR_REJECTED, naming the file), and the full package
 * is what this install needs then. The rebuilt version must meet every rule
 * an unpacked package meets.
 * A failed call leaves neither a stage folder nor a journal of its own.
 */
LOFTSWITCH_API int loftswitch_stage_package(const char* install_folder,
                                            const char* user_workspace,
                                            const char* trust_json, const char* package_path,
                                            const char* signed_json, const char* options_json,
                                            char* attempt_id, loftswitch_status* status);

/* The long steps of staging a package, in the order they run. An install
   that only an administrator can change only verifies the package here
   (its helper copies and unpacks it later). */
enum loftswitch_phase {
  LOFTSWITCH_PHASE_COPYING = 1,   /* the package into the workspace */
  LOFTSWITCH_PHASE_VERIFYING = 2, /* its size and SHA-256 */
  LOFTSWITCH_PHASE_UNPACKING = 3, /* its files into the stage folder */
  /* A delta package, in place of unpacking: the new version's files into
     the stage folder, from the delta and the install's own files. */
  LOFTSWITCH_PHASE_REBUILDING = 5
};

/*
 * Told how far staging is. `phase` is a loftswitch_phase; `done` of `total`
 * bytes are through it: the package's size for copying and verifying, the
 * sum of its files' sizes for unpacking and rebuilding. Each phase is reported once with
 * done 0, then about every MiB, then once with done == total; done never
 * goes back within a phase. Called on the staging thread, with the
 * `progress_context` given to the call. Return 0 to go on, anything else to
 * cancel: the call then ends with LOFTSWITCH_CANCELLED and the callback is
 * not called again.
 */
typedef int (*loftswitch_progress_fn)(int32_t phase, uint64_t done, uint64_t total,
                                      void* progress_context);

/*
 * loftswitch_stage_package with progress: the same arguments and results,
 * and `progress` (may be NULL) called as the package is copied, verified and
 * unpacked. A cancelled call, like a failed one, leaves no stage folder, no
 * copy of the package and no change to the journal or an earlier attempt.
 */
LOFTSWITCH_API int loftswitch_stage_package_with_progress(
    const char* install_folder, const char* user_workspace, const char* trust_json,
    const char* package_path, const char* signed_json, const char* options_json,
    loftswitch_progress_fn progress, void* progress_context, char* attempt_id,
    loftswitch_status* status);

/*
 * Starts the update of a staged attempt. The application must exit soon
 * after (within the attempt's exitMs): the tool waits for it, and for every
 * other program running from the install folder, before it changes a file.
 *
 * tool_path  loftswitch-apply.exe as the application ships it; NULL means
 *            <install_folder>\loftswitch-apply.exe.
 *
 * For an install this user can change, the tool is copied into
 * .loftswitch (a program running from the install folder would be waited
 * for; one running from the workspace is not) and started with --work,
 * --id and this process's --pid and --pid-started. For an attempt staged
 * with a user workspace, the tool at tool_path (inside the install folder)
 * is started with administrator rights (--elevated) and a copy in the user
 * workspace waits beside it (--wait-elevated) to start the application again.
 */
LOFTSWITCH_API int loftswitch_start_apply(const char* install_folder,
                                          const char* user_workspace, const char* attempt_id,
                                          const char* tool_path, loftswitch_status* status);

/* What loftswitch_confirm_startup found. */
enum loftswitch_confirmation {
  /* This start is not the new version of an update (LOFTSWITCH_RELAUNCH is
     not set): nothing to do. */
  LOFTSWITCH_NOT_RELAUNCHED = 0,
  /* This call confirmed the update: it is final. */
  LOFTSWITCH_CONFIRMED = 1,
  /* The attempt was confirmed before. */
  LOFTSWITCH_ALREADY_CONFIRMED = 2,
  /* The attempt cannot be confirmed any more (it was rolled back, or a newer
     attempt replaced it): this start is the previous version again, or an
     old one. The message says which; loftswitch_read_outcome says why. */
  LOFTSWITCH_NOT_CONFIRMABLE = 3
};

/*
 * Call early in every start of the application, before the user relies on
 * the new version. When LOFTSWITCH_RELAUNCH names the attempt that the tool
 * has just installed, sets its journal from "swapped" to "confirmed" under
 * the workspace lock, waiting at most lock_wait_ms for the lock (then fails
 * with LOFTSWITCH_ERROR_BUSY and says why); for an attempt staged with a
 * user workspace it writes the confirmed-<id> marker there instead.
 * `confirmation` (may be NULL) receives a loftswitch_confirmation; it is
 * only meaningful when the call returns LOFTSWITCH_OK.
 */
LOFTSWITCH_API int loftswitch_confirm_startup(const char* install_folder,
                                              const char* user_workspace,
                                              uint32_t lock_wait_ms, int32_t* confirmation,
                                              loftswitch_status* status);

/* How an update ended. Every text is UTF-8, owned by the caller once filled,
   and released with loftswitch_outcome_free. */
typedef struct loftswitch_outcome {
  int32_t present;    /* 1: an outcome the user has not been told about */
  char* attempt_id;   /* the rest: "" when not known, all NULL when absent */
  char* from_version;
  char* to_version;
  char* result;       /* "updated", "rolled-back", "app-still-running" ... */
  char* reason;       /* "exited", "in-use", "rejected", ...; may be "" */
  char* detail;       /* the failure's message; may be "" */
} loftswitch_outcome;

/* Releases the texts and empties the outcome; safe on an empty outcome and
   on NULL. */
LOFTSWITCH_API void loftswitch_outcome_free(loftswitch_outcome* outcome);

/*
 * The outcome of the last update attempt that the user has not been told
 * about yet; `present` is 0 (and the call succeeds) when there is none.
 * An attempt that the tool did not begin because the application (or
 * another program from the install folder) was still running is reported as
 * "app-still-running" with the reason in `detail`; it stays staged and can
 * be started again.
 * `outcome` must be empty (zeroed or freed) when it is passed.
 */
LOFTSWITCH_API int loftswitch_read_outcome(const char* install_folder,
                                           const char* user_workspace,
                                           loftswitch_outcome* outcome,
                                           loftswitch_status* status);

/*
 * Records that the user has been told the outcome of `attempt_id`, so that
 * loftswitch_read_outcome no longer returns it. Waits at most lock_wait_ms
 * for the workspace lock.
 */
LOFTSWITCH_API int loftswitch_mark_reported(const char* install_folder,
                                            const char* user_workspace,
                                            const char* attempt_id, uint32_t lock_wait_ms,
                                            loftswitch_status* status);

#ifdef __cplusplus
}
#endif

#endif /* LOFTSWITCH_APP_H */
