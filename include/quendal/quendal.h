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
 * threads (one per logical processor) and take turns on it: while one scan hashes, another
 * that has reached its hashing step waits for it, still reporting progress and still
 * cancellable. One handle is used by one thread at a time, except quendal_scan_cancel. */
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

/* The library's version, "MAJOR.MINOR.PATCH": a NUL-terminated ASCII text in static storage. */
QUENDAL_API const char* quendal_version(void);

/* ---- Progress ---- */

/* The phases of a scan, in the order they run. A scan without a cache path has no
 * QUENDAL_PHASE_LOADING_CACHE and no QUENDAL_PHASE_STORING_CACHE. */
enum {
  QUENDAL_PHASE_READING_MANIFEST = 0, /* reading, parsing and validating the manifest */
  QUENDAL_PHASE_LOADING_CACHE = 1,    /* reading the hash cache */
  QUENDAL_PHASE_CHECKING_FILES = 2,   /* metadata and hashing of every listed file */
  QUENDAL_PHASE_STORING_CACHE = 3,    /* replacing the hash cache */
  QUENDAL_PHASE_ENCODING = 4          /* encoding the report */
};

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
  int32_t phase;     /* a QUENDAL_PHASE_ value */
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

/* One scan's inputs. Set struct_size to sizeof(quendal_scan_options): later versions may add
 * fields at the end, and read them only from callers that pass them. Texts are UTF-8 paths, each
 * as a pointer and a length in bytes (no NUL needed); quendal_scan_create copies them. */
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

typedef struct quendal_scan quendal_scan;

/* A new scan for `options`, not yet run; NULL when `options` is NULL, its struct_size is below
 * the first version's size, or memory runs out. Bad texts (missing, not UTF-8, holding a NUL
 * byte) are reported by quendal_scan_run as the scan's failure. Destroy it with
 * quendal_scan_destroy. */
QUENDAL_API quendal_scan* quendal_scan_create(const quendal_scan_options* options);

/* The status of a scan. */
enum {
  QUENDAL_STATUS_PENDING = -1, /* not run yet, or running */
  QUENDAL_STATUS_OK = 0,       /* completed: the report is there, whatever it found */
  QUENDAL_STATUS_FAILED = 1,   /* failed: the failure message says why */
  QUENDAL_STATUS_CANCELLED = 2 /* cancelled: the failure message is "Scan cancelled." */
};

/* Runs the scan on the calling thread and returns its status; blocks until the scan has ended.
 * A handle runs once: a later call (or one while the first is running) changes nothing and
 * returns QUENDAL_STATUS_PENDING while the run is going on, or the finished status. */
QUENDAL_API int32_t quendal_scan_run(quendal_scan* scan);

/* Asks the scan to stop; returns at once. Safe from any thread and from the progress callback,
 * before or during quendal_scan_run. Files not yet started are skipped and a file being hashed
 * stops after its current read; the scan ends with QUENDAL_STATUS_CANCELLED and the failure
 * "Scan cancelled.", no report is produced, and the hash cache file is left as it was. A cancel
 * that comes after the checking phase has ended (the last progress call of
 * QUENDAL_PHASE_CHECKING_FILES has returned) is too late: the cache store, once begun, is never
 * broken off, and the scan completes with QUENDAL_STATUS_OK. */
QUENDAL_API void quendal_scan_cancel(quendal_scan* scan);

/* The status: QUENDAL_STATUS_PENDING until quendal_scan_run has returned. */
QUENDAL_API int32_t quendal_scan_status(const quendal_scan* scan);

/* The texts of a finished scan. Each returns a pointer to UTF-8 bytes and stores their number in
 * *length (when `length` is not NULL); the bytes are followed by a NUL that is not counted, and
 * stay valid until the handle is destroyed. NULL with length 0 when there is no such text.
 *   report:  the compact JSON scan report, when the status is QUENDAL_STATUS_OK.
 *   warning: the cache warning that the program prints ("Ignoring ..."), without its line
 *            feed, when the cache file could not be used; whatever the status.
 *   failure: the failure message, when the status is QUENDAL_STATUS_FAILED or
 *            QUENDAL_STATUS_CANCELLED. */
QUENDAL_API const char* quendal_scan_report(const quendal_scan* scan, uint64_t* length);
QUENDAL_API const char* quendal_scan_warning(const quendal_scan* scan, uint64_t* length);
QUENDAL_API const char* quendal_scan_failure(const quendal_scan* scan, uint64_t* length);

/* The report's summary counters, so that a caller needs no JSON parser for them. Set struct_size
 * to sizeof(quendal_summary): later versions may add fields at the end. */
typedef struct quendal_summary {
  uint64_t struct_size;
  uint64_t expected_files;
  uint64_t healthy_files;
  uint64_t missing_files;
  uint64_t modified_files;
  uint64_t critical_mismatches;
  uint64_t bytes_to_download;
} quendal_summary;

/* Fills the fields of *summary that its struct_size covers and returns 0 when the status is
 * QUENDAL_STATUS_OK; otherwise (or when struct_size covers no field) returns -1 and leaves
 * *summary alone. */
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
