/* quendal: check an installed game client against an update manifest, from a host program.
 *
 * A plain C interface, usable from C, C++ and through foreign-function interfaces such as C#'s
 * P/Invoke: opaque handles, fixed-width integers, texts as UTF-8 bytes with explicit lengths,
 * and nothing thrown across it. One scan handle runs one scan, exactly as the quendal program
 * runs it for the same client directory, manifest and cache: the report bytes are the ones the
 * program writes (without its final line feed), and a failure message is the text the program
 * writes to standard error (without the line feed).
 *
 * Linking: the shared library (libquendal.so, quendal.dll with its import library
 * libquendal.dll.a) is used as it is; users of the static library (libquendal.a) define
 * QUENDAL_STATIC before including this header (CMake's quendal::quendal_static and
 * pkg-config --static do so) and link the C++ runtime, threads and, on POSIX, libcrypto.
 *
 * Threads: every function may be called from any thread. Different handles are independent:
 * scans may run in several threads at once. They share the process's one pool of hashing
 * threads (one per logical processor) and take turns on it there only: a scan reads its
 * manifest and cache whatever another scan is doing, and while one scan hashes, another that
 * has reached its hashing step waits for it, still reporting progress and still cancellable (a
 * cancel ends the wait). One handle is used by one thread at a time, except
 * quendal_scan_cancel and quendal_scan_destroy (see there).
 *
 * NULL: every function that takes a scan accepts NULL for it and then does nothing:
 * quendal_scan_run and quendal_scan_status return QUENDAL_STATUS_FAILED,
 * quendal_scan_failure_kind returns QUENDAL_FAILURE_NONE, the text functions return NULL with
 * length 0, quendal_scan_summary returns -1. The other pointers' rules are stated at each
 * function.
 *
 * Later versions may add values to the enumerations (a caller takes an unknown failure kind for
 * QUENDAL_FAILURE_FAILED) and fields at the end of the structs that carry a struct_size. */
#ifndef QUENDAL_QUENDAL_H
#define QUENDAL_QUENDAL_H

#include <stdint.h>

#if defined(QUENDAL_STATIC)
#define QUENDAL_API
#elif defined(_WIN32)
#if defined(QUENDAL_BUILDING_DLL)
#define QUENDAL_API __declspec(dllexport)
#else
#define QUENDAL_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QUENDAL_API __attribute__((visibility("default")))
#else
#define QUENDAL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header. Cautious callers compare it with quendal_version() to know that
 * they run with the library they were built against. */
#define QUENDAL_VERSION_MAJOR 0
#define QUENDAL_VERSION_MINOR 1
#define QUENDAL_VERSION_PATCH 0
#define QUENDAL_VERSION "0.1.0"

/* The library's version, "MAJOR.MINOR.PATCH" (the QUENDAL_VERSION of the header it was built
 * with): a NUL-terminated ASCII text in static storage. */
QUENDAL_API const char* quendal_version(void);

/* ---- Progress ---- */

/* The phases of a scan, in the order they run. A scan without a cache path has no
 * QUENDAL_PHASE_LOADING_CACHE and no QUENDAL_PHASE_STORING_CACHE. */
typedef enum quendal_phase {
  QUENDAL_PHASE_READING_MANIFEST = 0, /* reading, parsing and validating the manifest */
  QUENDAL_PHASE_LOADING_CACHE = 1,    /* reading the hash cache */
  QUENDAL_PHASE_CHECKING_FILES = 2,   /* metadata and hashing of every listed file */
  QUENDAL_PHASE_STORING_CACHE = 3,    /* replacing the hash cache */
  QUENDAL_PHASE_ENCODING = 4          /* encoding the report */
} quendal_phase;

/* The counters of a scan at one moment; every counter only grows during a scan.
 *   files_done / files_total: listed files checked, of the files to check (the manifest's files
 *     less the excluded ones). A missing file, a size mismatch and a digest taken from the cache
 *     count as done without bytes. Both are 0 before QUENDAL_PHASE_CHECKING_FILES.
 *   bytes_hashed / bytes_to_hash: bytes read through SHA-256, of the sizes of the files whose
 *     content must be read. Which files those are is known only once each file's metadata has
 *     been read, so bytes_to_hash grows while files are checked and is final at the last call
 *     of QUENDAL_PHASE_CHECKING_FILES; bytes_hashed never passes it and ends equal to it. For a
 *     steady percentage use the files; for a speed, the bytes. */
typedef struct quendal_progress {
  int32_t phase;     /* a quendal_phase */
  uint32_t reserved; /* 0 */
  uint64_t files_done;
  uint64_t files_total;
  uint64_t bytes_hashed;
  uint64_t bytes_to_hash;
} quendal_progress;

/* Called on the thread that runs quendal_scan_run, one call at a time: when a phase begins and
 * while files are checked, at most about 20 times a second, and always once when a phase ends,
 * with that phase's final counters. `progress` is valid during the call only. Returning a
 * non-zero value cancels the scan, like quendal_scan_cancel. The callback must return: no
 * exception, longjmp or thread exit may leave it, and it must not start a scan itself. */
typedef int32_t (*quendal_progress_callback)(const quendal_progress* progress, void* user_data);

/* ---- Scans ---- */

/* One scan's inputs. Set struct_size to sizeof(quendal_scan_options), as
 * QUENDAL_SCAN_OPTIONS_INIT does: later versions may add fields at the end, and read them only
 * from callers that pass them. Texts are UTF-8 paths, each as a pointer and a length in bytes
 * (no NUL needed); quendal_scan_create copies them. A cache path of length 0 names no file: the
 * scan then fails at its cache step, before any client file is read, and writes nothing. */
typedef struct quendal_scan_options {
  uint64_t struct_size;
  const char* client_dir; /* required: the client directory */
  uint64_t client_dir_length;
  const char* manifest_path; /* required: the update manifest */
  uint64_t manifest_path_length;
  const char* cache_path; /* NULL: no hash cache is read or written */
  uint64_t cache_path_length;
  quendal_progress_callback progress; /* NULL: no progress calls */
  void* user_data;                    /* passed to `progress` */
} quendal_scan_options;

/* An options struct with struct_size set and everything else zero or NULL:
 *   quendal_scan_options options = QUENDAL_SCAN_OPTIONS_INIT; */
#define QUENDAL_SCAN_OPTIONS_INIT quendal_scan_options_init()

typedef struct quendal_scan quendal_scan;

/* A new scan for `options`, not yet run; NULL, with nothing left allocated, when `options` is
 * NULL, its struct_size is below the first version's size, or memory runs out. Bad texts
 * (missing, not UTF-8, holding a NUL byte) are reported by quendal_scan_run as the scan's
 * failure. Destroy it with quendal_scan_destroy. */
QUENDAL_API quendal_scan* quendal_scan_create(const quendal_scan_options* options);

/* The status of a scan. */
typedef enum quendal_status {
  QUENDAL_STATUS_PENDING = -1, /* not run yet, or running */
  QUENDAL_STATUS_OK = 0,       /* completed: the report is there, whatever it found */
  QUENDAL_STATUS_FAILED = 1,   /* failed: the failure message says why */
  QUENDAL_STATUS_CANCELLED = 2 /* cancelled: the failure message is "Scan cancelled." */
} quendal_status;

/* What ended a scan that did not complete, for callers that must not read English. */
typedef enum quendal_failure_kind {
  QUENDAL_FAILURE_NONE = 0,         /* no failure: not run yet, running, or completed */
  QUENDAL_FAILURE_FAILED = 1,       /* any other failure: the message says what and why */
  QUENDAL_FAILURE_CANCELLED = 2,    /* cancelled: the status is QUENDAL_STATUS_CANCELLED */
  QUENDAL_FAILURE_OUT_OF_MEMORY = 3 /* memory ran out: the message names the step */
} quendal_failure_kind;

/* Runs the scan on the calling thread and returns its status; blocks until the scan has ended.
 * A handle runs once: a later call (or one while the first is running) changes nothing and
 * returns QUENDAL_STATUS_PENDING while the run is going on, or the finished status. */
QUENDAL_API quendal_status quendal_scan_run(quendal_scan* scan);

/* Asks the scan to stop; returns at once. Safe from any thread and from the progress callback,
 * before or during quendal_scan_run. A scan waiting for its turn at the hashing threads stops
 * waiting, files not yet started are skipped and a file being hashed stops after its current
 * read; the scan ends with QUENDAL_STATUS_CANCELLED and the failure "Scan cancelled.", no
 * report is produced, and the hash cache file is left as it was. A cancel that comes after the
 * checking phase has ended (the last progress call of QUENDAL_PHASE_CHECKING_FILES has
 * returned) is too late: the cache store, once begun, is never broken off, and the scan
 * completes with QUENDAL_STATUS_OK. */
QUENDAL_API void quendal_scan_cancel(quendal_scan* scan);

/* The status: QUENDAL_STATUS_PENDING until quendal_scan_run has returned. */
QUENDAL_API quendal_status quendal_scan_status(const quendal_scan* scan);

/* The kind of the failure once quendal_scan_run has returned QUENDAL_STATUS_FAILED or
 * QUENDAL_STATUS_CANCELLED; QUENDAL_FAILURE_NONE before and for a completed scan. */
QUENDAL_API quendal_failure_kind quendal_scan_failure_kind(const quendal_scan* scan);

/* The texts of a finished scan. Each returns a pointer to UTF-8 bytes and stores their number in
 * *length (`length` may be NULL); the bytes are followed by a NUL that is not counted, and stay
 * valid until the handle is destroyed. NULL with length 0 when there is no such text.
 *   report:  the compact JSON scan report, when the status is QUENDAL_STATUS_OK.
 *   warning: the cache warning that the program prints ("Ignoring ..."), without its line
 *            feed, when the cache file could not be used; whatever the status.
 *   failure: the failure message, when the status is QUENDAL_STATUS_FAILED or
 *            QUENDAL_STATUS_CANCELLED. */
QUENDAL_API const char* quendal_scan_report(const quendal_scan* scan, uint64_t* length);
QUENDAL_API const char* quendal_scan_warning(const quendal_scan* scan, uint64_t* length);
QUENDAL_API const char* quendal_scan_failure(const quendal_scan* scan, uint64_t* length);

/* The report's summary counters, so that a caller needs no JSON parser for them. Set struct_size
 * to sizeof(quendal_summary), as QUENDAL_SUMMARY_INIT does: later versions may add fields at the
 * end. */
typedef struct quendal_summary {
  uint64_t struct_size;
  uint64_t expected_files;
  uint64_t healthy_files;
  uint64_t missing_files;
  uint64_t modified_files;
  uint64_t critical_mismatches;
  uint64_t bytes_to_download;
} quendal_summary;

/* A summary struct with struct_size set: quendal_summary summary = QUENDAL_SUMMARY_INIT; */
#define QUENDAL_SUMMARY_INIT quendal_summary_init()

#ifdef __cplusplus
#define QUENDAL_ZERO_INITIALIZER_ \
  {}
#else
#define QUENDAL_ZERO_INITIALIZER_ \
  { 0 }
#endif

static inline quendal_scan_options quendal_scan_options_init(void) {
  quendal_scan_options options = QUENDAL_ZERO_INITIALIZER_;
  options.struct_size = sizeof options;
  return options;
}

static inline quendal_summary quendal_summary_init(void) {
  quendal_summary summary = QUENDAL_ZERO_INITIALIZER_;
  summary.struct_size = sizeof summary;
  return summary;
}

/* Fills the fields of *summary that its struct_size covers and returns 0 when the status is
 * QUENDAL_STATUS_OK; otherwise (also for a NULL `summary`, or a struct_size that covers no
 * field) returns -1 and leaves *summary alone. */
QUENDAL_API int32_t quendal_scan_summary(const quendal_scan* scan, quendal_summary* summary);

/* Frees the scan and its texts. NULL is allowed. Called while quendal_scan_run is running on
 * another thread (a finalizer of a managed binding may do so), it cancels the scan, no progress
 * call begins after it has returned (one already under way finishes), and the handle is freed
 * when quendal_scan_run returns, which still returns the scan's status. After this call the
 * handle must not be used again. */
QUENDAL_API void quendal_scan_destroy(quendal_scan* scan);

#ifdef __cplusplus
}
#endif

#endif /* QUENDAL_QUENDAL_H */
