// Running a few independent jobs on threads started for the purpose, for work that must not wait
// for the process's worker pool (which may be busy with another scan's files).
#pragma once

#include <cstddef>
#include <functional>

namespace quendal {

// Calls job(i) once for every i in [0, count), on the calling thread and up to `threads - 1`
// threads started for the call, each taking the next index; returns when every call has
// returned. Fewer threads (down to the caller alone) when the system refuses to start them.
// An allocation failure (std::bad_alloc, std::length_error) in a job on another thread is
// thrown again on the calling thread once every job has ended, so the work behaves as if it
// had run on the caller.
void run_in_parallel(std::size_t count, std::size_t threads,
                     const std::function<void(std::size_t)>& job);

}  // namespace quendal
