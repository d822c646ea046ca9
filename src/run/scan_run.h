// The scan run: one complete scan for one ScanOptions, its steps in their fixed order.
#pragma once

#include "run/report_destination.h"
#include "run/scan_options.h"
#include "scan/file_verdict.h"
#include "scan/scan_monitor.h"
#include "util/result.h"

namespace quendal {

// What becomes of the run's data when the run returns. The program ends right after its one
// run, and freeing the data of a large client node by node takes longer than a cached rescan;
// a library run must free it.
enum class RunMemory { release, keep_until_exit };

// Reads and validates the manifest, loads the hash cache (when named), resolves the client
// root, hashes the listed files on the worker pool, folds the verdicts, stores the cache (when
// named) and hands the report to `destination` (options.output is the destination's business).
// Returns the report's summary counters, or the failure message of the first step that fails.
// The cache warning, if any, goes to the monitor's observer before hashing starts; the monitor
// sees every phase and the hashing counters. A cancel requested through the monitor before the
// checking phase has ended fails the run with k_scan_cancelled; the cache file and the report
// destination are then untouched (a corrupted cache already set aside stays so).
Result<ClientScanSummary> run_scan(ScanOptions options, ScanMonitor& monitor,
                                   ReportDestination& destination, RunMemory memory);

}  // namespace quendal
