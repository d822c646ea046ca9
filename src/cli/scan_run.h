// The scan run: one complete scan for one ScanOptions, its steps in their fixed order.
#pragma once

#include "cli/command_line.h"
#include "util/result.h"

namespace quendal {

// Reads and validates the manifest, loads the hash cache (when named), resolves the client
// root, hashes the listed files on the worker pool, folds the verdicts, stores the cache (when
// named) and delivers the report to the output file or standard output. Returns the failure
// message of the first step that fails; the cache warning, if any, is written to standard error
// before hashing starts.
Result<void> run_scan(ScanOptions options);

}  // namespace quendal
