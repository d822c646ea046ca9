#include "scan/worker_pool.h"

#include <new>
#include <system_error>

#include "platform/platform.h"

namespace quendal {

WorkerPool& WorkerPool::instance() {
  // Never destroyed: workers may still be parked when the process exits, and joining them from
  // a static destructor would race with other exit-time teardown.
  static WorkerPool* pool = new WorkerPool(platform::logical_processor_count());
  return *pool;
}

WorkerPool::WorkerPool(unsigned worker_count) {
  try {
    m_workers.reserve(worker_count);
    for (unsigned i = 0; i < worker_count; ++i) m_workers.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& worker : m_workers) worker.join();
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& job) {
  run(count, job, nullptr, std::chrono::milliseconds(0));
}

bool WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& job,
                     const std::function<bool()>& tick, std::chrono::milliseconds interval) {
  if (count == 0) return true;
  std::unique_lock<std::mutex> lock(m_mutex);
  // Waits for `done` with the lock held, ticking without it every `interval`; false when a
  // tick says to stop waiting.
  const auto wait = [&](std::condition_variable& condition, const auto& done) {
    if (!tick) {
      condition.wait(lock, done);
      return true;
    }
    while (!condition.wait_for(lock, interval, done)) {
      lock.unlock();
      const bool go_on = tick();
      lock.lock();
      if (!go_on && !done()) return false;
    }
    return true;
  };
  if (!wait(m_turn, [&] { return !m_running; })) return false;
  m_running = true;
  if (m_workers.empty()) {
    lock.unlock();
    run_here(count, job, tick, interval);
    lock.lock();
    m_running = false;
    m_turn.notify_one();
    return true;
  }
  m_job = &job;
  m_count = count;
  m_next.store(0);
  m_finished = 0;
  ++m_generation;
  m_wake.notify_all();
  // Waiting for the workers to leave the batch, not only for the jobs to finish, keeps a late
  // worker from taking an index of the next batch with this batch's job.
  while (!wait(m_done, [&] { return m_finished == m_count && m_active == 0; })) {
  }
  m_job = nullptr;
  m_running = false;
  m_turn.notify_one();
  return true;
}

void WorkerPool::run_here(std::size_t count, const std::function<void(std::size_t)>& job,
                          const std::function<bool()>& tick, std::chrono::milliseconds interval) {
  auto last_tick = std::chrono::steady_clock::now();
  for (std::size_t index = 0; index < count; ++index) {
    job(index);
    if (tick && std::chrono::steady_clock::now() - last_tick >= interval) {
      (void)tick();
      last_tick = std::chrono::steady_clock::now();
    }
  }
}

void WorkerPool::work() {
  std::unique_lock<std::mutex> lock(m_mutex);
  std::size_t seen_generation = 0;
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || (m_generation != seen_generation && m_job); });
    if (m_stopping) return;
    seen_generation = m_generation;
    ++m_active;
    const std::function<void(std::size_t)>& job = *m_job;
    const std::size_t count = m_count;
    lock.unlock();
    // Take jobs one index at a time, so one slow file never holds up a batch of quick ones.
    std::size_t done = 0;
    for (std::size_t index = m_next.fetch_add(1); index < count; index = m_next.fetch_add(1)) {
      job(index);
      ++done;
    }
    lock.lock();
    m_finished += done;
    --m_active;
    if (m_finished == m_count && m_active == 0) m_done.notify_all();
  }
}

}  // namespace quendal
