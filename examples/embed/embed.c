/* Embedding quendal in a host program: scans a client directory through the C library, draws a
 * progress bar on standard error and prints the report's summary counters on standard output.
 *
 *   quendal_embed <client-dir> <manifest> [--cache <path>] [--cancel-after <files>]
 *
 * --cancel-after N cancels the scan from the progress callback once N files have been checked,
 * as a launcher does when the player closes its window. Exit status: 0 for a completed scan, 1
 * when the scan failed or was cancelled (its message on standard error), 2 for bad arguments. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quendal/quendal.h>

struct bar_state {
  uint64_t cancel_after; /* 0: never */
  int drawn;
};

static int32_t on_progress(const quendal_progress* progress, void* user_data) {
  struct bar_state* state = (struct bar_state*)user_data;
  if (progress->phase == QUENDAL_PHASE_CHECKING_FILES && progress->files_total > 0) {
    const int width = 30;
    const int filled = (int)(progress->files_done * (uint64_t)width / progress->files_total);
    int i;
    fputs("\r[", stderr);
    for (i = 0; i < width; ++i) fputc(i < filled ? '#' : '.', stderr);
    fprintf(stderr, "] %3d%%  %" PRIu64 " / %" PRIu64 " files  %" PRIu64 " / %" PRIu64 " KiB",
            (int)(progress->files_done * 100 / progress->files_total), progress->files_done,
            progress->files_total, progress->bytes_hashed / 1024, progress->bytes_to_hash / 1024);
    fflush(stderr);
    state->drawn = 1;
  }
  return state->cancel_after > 0 && progress->files_done >= state->cancel_after;
}

static int usage(void) {
  fputs("usage: quendal_embed <client-dir> <manifest> [--cache <path>] [--cancel-after <files>]\n",
        stderr);
  return 2;
}

int main(int argc, char** argv) {
  const char* positional[2] = {NULL, NULL};
  const char* cache = NULL;
  struct bar_state state = {0, 0};
  int count = 0;
  int i;
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--cache") == 0 && i + 1 < argc) {
      cache = argv[++i];
    } else if (strcmp(argv[i], "--cancel-after") == 0 && i + 1 < argc) {
      char* end = NULL;
      state.cancel_after = strtoull(argv[++i], &end, 10);
      if (*end != '\0' || state.cancel_after == 0) return usage();
    } else if (argv[i][0] != '-' && count < 2) {
      positional[count++] = argv[i];
    } else {
      return usage();
    }
  }
  if (count != 2) return usage();

  quendal_scan_options options = QUENDAL_SCAN_OPTIONS_INIT;
  options.client_dir = positional[0];
  options.client_dir_length = strlen(positional[0]);
  options.manifest_path = positional[1];
  options.manifest_path_length = strlen(positional[1]);
  if (cache != NULL) {
    options.cache_path = cache;
    options.cache_path_length = strlen(cache);
  }
  options.progress = on_progress;
  options.user_data = &state;

  quendal_scan* scan = quendal_scan_create(&options);
  if (scan == NULL) {
    fputs("quendal_embed: out of memory\n", stderr);
    return 1;
  }
  const quendal_status status = quendal_scan_run(scan);
  if (state.drawn) fputc('\n', stderr);

  uint64_t length = 0;
  const char* warning = quendal_scan_warning(scan, &length);
  if (warning != NULL) fprintf(stderr, "%.*s\n", (int)length, warning);

  int exit_status = 0;
  if (status == QUENDAL_STATUS_OK) {
    quendal_summary summary = QUENDAL_SUMMARY_INIT;
    quendal_scan_summary(scan, &summary);
    printf("expectedFiles %" PRIu64 "\n", summary.expected_files);
    printf("healthyFiles %" PRIu64 "\n", summary.healthy_files);
    printf("missingFiles %" PRIu64 "\n", summary.missing_files);
    printf("modifiedFiles %" PRIu64 "\n", summary.modified_files);
    printf("criticalMismatches %" PRIu64 "\n", summary.critical_mismatches);
    printf("bytesToDownload %" PRIu64 "\n", summary.bytes_to_download);
  } else {
    const char* failure = quendal_scan_failure(scan, &length);
    fprintf(stderr, "%.*s\n", (int)length, failure != NULL ? failure : "");
    exit_status = 1;
  }
  quendal_scan_destroy(scan);
  return exit_status;
}
