// The process-wide pool of worker threads that runs the hashing jobs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quendal {

class WorkerPool {
 public:
  // The pool of the process: created on first use with one worker per logical processor, alive
  // until the process ends.
  static WorkerPool& instance();

  // Starts `worker_count` workers, or as many as the system lets it start: a thread that
  // cannot be created (std::system_error, or no memory for its state) leaves the pool with
  // fewer. A pool without workers (also `worker_count` 0) runs every batch on the calling
  // thread, one job after the other.
  explicit WorkerPool(unsigned worker_count);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Stops and joins the workers. REQUIRES: no run() in progress.
  ~WorkerPool();

  unsigned worker_count() const { return static_cast<unsigned>(m_workers.size()); }

  // Calls job(i) once for every i in [0, count), spread over the workers in no fixed order, and
  // returns when every call has returned. `job` must not throw and must be safe to call from
  // several threads at once. One run() at a time: concurrent callers wait for each other.
  void run(std::size_t count, const std::function<void(std::size_t)>& job);

  // The same, and the calling thread calls tick() about every `interval` until the jobs are
  // done, also while it waits for another caller's run to finish. tick() runs on the calling
  // thread while the workers go on (without workers: between jobs); it must not throw, and
  // must not call run() (the caller's turn may be held). While the caller still waits for its
  // turn, tick() returning false gives the turn up: run() then returns false without calling
  // any job. Otherwise (and once the batch has begun, whatever tick() returns) it returns true.
  bool run(std::size_t count, const std::function<void(std::size_t)>& job,
           const std::function<bool()>& tick, std::chrono::milliseconds interval);

 private:
  // Runs a batch on the calling thread, for a pool without workers.
  static void run_here(std::size_t count, const std::function<void(std::size_t)>& job,
                       const std::function<bool()>& tick, std::chrono::milliseconds interval);
  void work();

  std::mutex m_mutex;
  std::condition_variable m_turn;  // run() callers wait here for the batch before theirs
  std::condition_variable m_wake;
  std::condition_variable m_done;
  bool m_running = false;  // a run() owns the workers
  const std::function<void(std::size_t)>* m_job = nullptr;
  std::size_t m_count = 0;
  std::atomic<std::size_t> m_next{0};
  std::size_t m_finished = 0;
  std::size_t m_active = 0;  // workers inside the current batch
  std::size_t m_generation = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_workers;
};

}  // namespace quendal
