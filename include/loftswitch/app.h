/*
 * The application's side of a loftswitch update, for C and C++ and for any
 * language that can call C functions (link loftswitch_app statically, or use
 * loftswitch-app-1.dll through its import library, loftswitch-app.lib for
 * Microsoft's linker or loftswitch-app.dll.a for mingw's, and define
 * LOFTSWITCH_APP_DLL before including this).
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
 * Text is UTF-8 in and out, paths included; a relative path is taken from
 * the current folder at the call. Every call returns a
 * loftswitch_code and, when `status` is not NULL, fills it with the same code
 * and a complete message, also on success. The message belongs to the caller
 * from then on and is released with loftswitch_status_free; a status must be
 * released (or never filled) before it is passed again. No call keeps a
 * pointer to its arguments, and none of them throws or aborts on bad input.
 *
 * Threads and processes. Every call blocks until it is done: staging for as
 * long as copying, hashing and unpacking the package take (seconds for a
 * large one) plus at most 10 s of waiting for the workspace lock, confirming
 * and marking reported for a few file operations plus at most their
 * lock_wait_ms, the others for a few file operations. The progress callback
 * runs on the thread that called, inside the call. The library keeps no
 * state between calls, so any call may run on any thread, and calls for
 * different installs never meet. For one install,
 * calls from several threads or processes at once are safe: those that
 * change the workspace (staging, confirming, marking reported) take its
 * lock in turn, and one that cannot get it within its wait fails with
 * LOFTSWITCH_ERROR_BUSY; reading the outcome takes no lock, as the journal
 * is only ever replaced whole. Starting the same attempt twice starts two
 * tools, and the workspace lock lets only one of them install it.
 *
 * ABI. The DLL's name carries the ABI's major version (loftswitch-app-1.dll):
 * a program never loads a DLL of another major. Within one major:
 *   - functions are only added, never removed, and keep their signatures;
 *   - enum values are only added and never change meaning, so a program
 *     must expect values it does not know (a result or reason this header
 *     does not name arrives as ..._OTHER);
 *   - loftswitch_outcome only grows at its end, and the library writes only
 *     the `size` bytes the program declares; loftswitch_status never changes;
 *   - messages may change wording: show them, decide on the codes.
 * A program built against minor M runs with any DLL of its major whose minor
 * is at least M: LOFTSWITCH_ABI_COMPATIBLE(loftswitch_abi_version()) says
 * so. LOFTSWITCH_VERSION, the release, may differ between header and DLL.
 */
#ifndef LOFTSWITCH_APP_H
#define LOFTSWITCH_APP_H

#include <stddef.h>
#include <stdint.h>

#include "loftswitch/version.h" /* LOFTSWITCH_VERSION, e.g. "0.1.0" */

/* The ABI this header describes: (major << 16) | minor. */
#define LOFTSWITCH_ABI_MAJOR 1
#define LOFTSWITCH_ABI_MINOR 1
#define LOFTSWITCH_ABI_VERSION ((LOFTSWITCH_ABI_MAJOR << 16) | LOFTSWITCH_ABI_MINOR)
/* Whether a library of ABI version `abi` serves a program built with this
   header: the same major, and at least its minor. */
#define LOFTSWITCH_ABI_COMPATIBLE(abi)                                  \
  ((((abi) >> 16) & 0xFFFF) == LOFTSWITCH_ABI_MAJOR &&                  \
   ((abi) & 0xFFFF) >= LOFTSWITCH_ABI_MINOR)

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
     the attempt is left behind (a cancelled download keeps its bytes for the
     next call to resume). */
  LOFTSWITCH_CANCELLED = 8,
  /* The feed or the package could not be fetched: no connection, a time-out,
     a server's error answer (the message gives its HTTP status), a missing
     local file. Try again later; a download resumes where it stopped. */
  LOFTSWITCH_ERROR_NETWORK = 9
};

typedef struct loftswitch_status {
  int32_t code;  /* a loftswitch_code */
  char* message; /* UTF-8, NUL-terminated; NULL only when memory ran out */
} loftswitch_status;

/* The library's release, LOFTSWITCH_VERSION as it was built: for logs and
   support requests. Whether the library fits is the ABI's question. */
LOFTSWITCH_API const char* loftswitch_version(void);

/* The library's LOFTSWITCH_ABI_VERSION; check it with
   LOFTSWITCH_ABI_COMPATIBLE before any other call. */
LOFTSWITCH_API uint32_t loftswitch_abi_version(void);

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
 *                 Given for an install this user can change, it is not used,
 *                 and the message says so.
 * trust_json      the install description as loftswitch.json holds it
 *                 ("loftswitch_install": 1, "app", "version", "executable",
 *                 "platforms", "preserve", "publicKeys"); NULL reads
 *                 <install_folder>\loftswitch.json.
 * package_path    the downloaded zip package.
 * signed_json     the text of the fields that "loftswitch-pack sign" wrote
 *                 for it (not the path of their file): "version", "notes",
 *                 "platform", "size", "sha256", "signature", "keyId"
 *                 (which names the signing key in refusals, and is trusted
 *                 for nothing), and "from" for a delta package. Other keys
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
 * A failed call leaves neither a stage folder nor a journal of its own, and
 * on an install with nothing staged before, no .loftswitch folder at all.
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
  LOFTSWITCH_PHASE_DOWNLOADING = 4, /* loftswitch_download_update: the package */
  /* A delta package, in place of unpacking: the new version's files into
     the stage folder, from the delta and the install's own files. */
  LOFTSWITCH_PHASE_REBUILDING = 5
};

/*
 * Told how far staging is. `phase` is a loftswitch_phase; `done` of `total`
 * bytes are through it: the package's size for copying and verifying, the
 * sum of its files' sizes for unpacking and rebuilding. Each phase is
 * reported once with done 0, then about every MiB, then once with
 * done == total; done never goes back within a phase. Called on the
 * staging thread, with the `progress_context` given to the call. Return 0
 * to go on, anything else to cancel: the call then ends with
 * LOFTSWITCH_CANCELLED and the callback is not called again.
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

/*
 * How an update ended: loftswitch_outcome.result_code, with the words an
 * application would show its user. Values are only ever added (a library of
 * a later minor may report one this header does not know: treat it as
 * LOFTSWITCH_RESULT_OTHER); none changes meaning.
 */
enum loftswitch_result {
  /* A result this header does not name; `result` holds its word. */
  LOFTSWITCH_RESULT_OTHER = 0,
  /* "updated": "<App> was updated to version <to>." */
  LOFTSWITCH_RESULT_UPDATED = 1,
  /* "rolled-back": "The update to version <to> didn't work out, so version
     <from> was put back." Add the reason's words below. */
  LOFTSWITCH_RESULT_ROLLED_BACK = 2,
  /* "app-still-running": "The update to version <to> didn't start, because
     <App> was still running. It will be tried again." `detail` names what
     still ran. */
  LOFTSWITCH_RESULT_APP_STILL_RUNNING = 3,
  /* "needs-repair": "The update to version <to> was interrupted before it
     finished, and must be repaired before <App> can update again." */
  LOFTSWITCH_RESULT_NEEDS_REPAIR = 4
};

/*
 * Why an update was rolled back: loftswitch_outcome.reason_code, with the
 * words for the user. Values are only ever added; none changes meaning.
 */
enum loftswitch_reason {
  /* No reason given (an update that worked has none). */
  LOFTSWITCH_REASON_NONE = 0,
  /* A reason this header does not name; `reason` holds its word. */
  LOFTSWITCH_REASON_OTHER = 1,
  /* "in-use": "A file of <App> was in use by another program. Close it and
     try again." `detail` names the file and, on Windows, the programs. */
  LOFTSWITCH_REASON_IN_USE = 2,
  /* "not-writable": "This account may not change the folder <App> is
     installed in." */
  LOFTSWITCH_REASON_NOT_WRITABLE = 3,
  /* "io": "A file couldn't be read or written; the disk may be full." */
  LOFTSWITCH_REASON_IO = 4,
  /* "launch-failed": "The new version couldn't be started." */
  LOFTSWITCH_REASON_LAUNCH_FAILED = 5,
  /* "exited": "The new version stopped right after it started." */
  LOFTSWITCH_REASON_EXITED = 6,
  /* "interrupted": "The update was interrupted (the computer may have shut
     down) and has been undone." */
  LOFTSWITCH_REASON_INTERRUPTED = 7,
  /* "rejected": "The downloaded update failed a safety check and was not
     installed." */
  LOFTSWITCH_REASON_REJECTED = 8,
  /* "elevation-failed": "The update needs an administrator's approval,
     which it didn't get." */
  LOFTSWITCH_REASON_ELEVATION_FAILED = 9,
  /* "rollback-incomplete" (with "needs-repair"): "Putting version <from>
     back didn't finish; it is finished the next time <App> starts the
     repair." */
  LOFTSWITCH_REASON_ROLLBACK_INCOMPLETE = 10
};

/* How an update ended. Set `size` to sizeof(loftswitch_outcome) and every
   other field to zero before the call: the library fills only the fields
   that lie within `size`, so that a program built with an older header
   keeps working with a newer DLL. Every text is UTF-8, owned by the caller
   once filled, and released with loftswitch_outcome_free. */
typedef struct loftswitch_outcome {
  uint32_t size;      /* set by the caller: sizeof(loftswitch_outcome) */
  int32_t present;    /* 1: an outcome the user has not been told about */
  char* attempt_id;   /* the rest: "" when not known, all NULL when absent */
  char* from_version;
  char* to_version;
  char* result;       /* "updated", "rolled-back", "needs-repair",
                         "app-still-running" ... */
  char* reason;       /* "exited", "in-use", "rejected", ...; may be "" */
  char* detail;       /* the failure's message; may be "" */
  int32_t result_code; /* a loftswitch_result */
  int32_t reason_code; /* a loftswitch_reason */
  /* Fields from here on are filled only when `size` holds them. */
  char* kept_path;    /* the folder that holds what a rollback set aside
                         (what the new version wrote, and what stood in the
                         way); "" when it set nothing aside */
  uint64_t kept_bytes; /* the bytes in kept_path when it was set aside;
                          UINT64_MAX when they couldn't be measured */
} loftswitch_outcome;

/* Releases the texts and empties the outcome but its size; safe on an empty
   outcome and on NULL. */
LOFTSWITCH_API void loftswitch_outcome_free(loftswitch_outcome* outcome);

/*
 * The outcome of the last update attempt that the user has not been told
 * about yet; `present` is 0 (and the call succeeds) when there is none.
 * An attempt that stopped half way (a power cut, a rollback that could not
 * finish) is "needs-repair", with reason "interrupted" or
 * "rollback-incomplete" and a detail that says why and how it is repaired,
 * for as long as it lasts: loftswitch_start_apply with its attempt id starts
 * the repair, which runs once the app exits. Until then staging and
 * loftswitch_mark_reported refuse with LOFTSWITCH_ERROR_BUSY.
 * What a rollback set aside stays in kept_path until the app has been told
 * (loftswitch_mark_reported) and three newer attempts have been staged.
 * An attempt that the tool did not begin because the application (or
 * another program from the install folder) was still running is reported as
 * "app-still-running" with the reason in `detail`; it stays staged and can
 * be started again.
 * `outcome` must be empty (zeroed or freed) with its `size` set when it is
 * passed; a size smaller than this first version's structure is refused.
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

/*
 * Finding and fetching an update: a signed feed that the publisher made with
 * "loftswitch-pack publish", then the package it offers.
 *
 *   loftswitch_check_for_update  fetches the feed and picks the offer;
 *   loftswitch_download_update   fetches its package into the workspace,
 *                                for loftswitch_stage_package.
 *
 * Addresses are https: URLs (through the system's HTTP stack: its proxy
 * settings and certificates), http: URLs only on the loopback address or
 * when loftswitch.json says "allowHttp": true, file: URLs and absolute
 * paths.
 *
 * These calls may run at the same time as any other call, checks beside
 * checks, on any thread; one download runs per workspace at a time (a second
 * one fails with LOFTSWITCH_ERROR_BUSY).
 */

/* What a feed offers this install. Every text is UTF-8, owned by the caller
   once filled, and released with loftswitch_offer_free. */
typedef struct loftswitch_offer {
  int32_t present;      /* 1: a version newer than the install is offered */
  char* version; char* platform; char* notes; char* channel;
  char* package_url;    /* absolute */
  uint64_t size;
  char* sha256;         /* lower-case hex */
  char* signed_json;    /* the offer's signed fields, as loftswitch_stage_package takes them */
  char* published;      /* the feed's publication time, RFC 3339 UTC */
} loftswitch_offer;

/* Releases the texts and empties the offer; safe on an empty offer and on
   NULL. */
LOFTSWITCH_API void loftswitch_offer_free(loftswitch_offer* offer);

/* Which package the offer is: "delta" (made from the installed version;
   it downloads only what changed), "full", or "" for no offer or NULL. The
   text is static: never free it. (ABI 1.1) */
LOFTSWITCH_API const char* loftswitch_offer_kind(const loftswitch_offer* offer);

/*
 * Fetches the feed at `feed_url` and says whether it offers an update.
 *
 * options_json  NULL, or an object with "channel" (the feed's channel,
 *               "stable" by default) and "retryRolledBack" (true: offer a
 *               version that was rolled back on this install too; stage it
 *               with the same option).
 * offer         must be empty (zeroed or freed); filled on LOFTSWITCH_OK,
 *               with `present` 0 when nothing newer is offered (the message
 *               says why, naming any version it passed over).
 *
 * Where the feed lists a delta made from the installed version beside the
 * full package, the delta is offered (loftswitch_offer_kind says which, and
 * so does the message). A delta that loftswitch_stage_package refused on
 * this install (a file of the install changed, say) is passed over from then
 * on: the full package is offered, and the message says why.
 *
 * The feed must verify with a key of <install_folder>\loftswitch.json, be
 * for its app and the channel, not have expired, not be published in the
 * future (beyond five minutes of clock skew) and not be older than the last
 * feed this install accepted from the same key and channel: an old feed
 * served again cannot hide a newer release. That last one is remembered in
 * the workspace (the user workspace for an install only an administrator can
 * change) once every check passed. A refused feed is
 * LOFTSWITCH_ERROR_REJECTED with the reason in the message and changes
 * nothing.
 */
LOFTSWITCH_API int loftswitch_check_for_update(const char* install_folder,
                                               const char* user_workspace,
                                               const char* feed_url, const char* options_json,
                                               loftswitch_offer* offer,
                                               loftswitch_status* status);

/*
 * Fetches the offer's package into the workspace's "downloads" folder (the
 * user workspace for an install only an administrator can change) and
 * returns its path in `package_path` (release it with
 * loftswitch_string_free), ready for loftswitch_stage_package with
 * `offer->signed_json`.
 *
 * A download that was cut, cancelled or killed resumes from its partial
 * file, with a range request that holds only while the server's file is the
 * same (its ETag or last-modified time); a server that ignores ranges gives
 * a fresh start. Failures that may pass (a reset, a time-out, a 5xx answer)
 * are tried again a few times with growing pauses; a 4xx answer is not;
 * redirects are followed up to five times. No byte past the signed size is
 * ever written: a package of another size or SHA-256 is
 * LOFTSWITCH_ERROR_REJECTED and its partial file is removed.
 *
 * `progress` (may be NULL) is called with LOFTSWITCH_PHASE_DOWNLOADING and
 * the bytes in the file of the offer's size: first those an earlier call
 * left, then about every MiB, then the size; lower again only when the
 * server forced a fresh start. Non-zero cancels (LOFTSWITCH_CANCELLED).
 * A package already downloaded is returned at once. The finished download
 * is removed once it is staged (an install only an administrator can change
 * keeps it for its helper) or when another package is downloaded.
 */
LOFTSWITCH_API int loftswitch_download_update(const char* install_folder,
                                              const char* user_workspace,
                                              const loftswitch_offer* offer,
                                              loftswitch_progress_fn progress,
                                              void* progress_context, char** package_path,
                                              loftswitch_status* status);

/* Releases a text that a call returned; safe on NULL. */
LOFTSWITCH_API void loftswitch_string_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* LOFTSWITCH_APP_H */
