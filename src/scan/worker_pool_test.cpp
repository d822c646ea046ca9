#include "scan/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace quendal {
namespace {

// Runs `count` jobs on `pool` and returns how often each index was called.
std::vector<int> calls_per_index(WorkerPool& pool, std::size_t count) {
  std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[count]);
  for (std::size_t i = 0; i < count; ++i) calls[i] = 0;
  pool.run(count, [&](std::size_t i) { ++calls[i]; });
  std::vector<int> result;
  for (std::size_t i = 0; i < count; ++i) result.push_back(calls[i].load());
  return result;
}

TEST(WorkerPool, CallsEveryIndexExactlyOnceRunAfterRun) {
  WorkerPool pool(4);
  EXPECT_EQ(pool.worker_count(), 4u);
  // Fewer jobs than workers, as many, many more, and one: every run is complete and separate.
  for (std::size_t count : {1u, 3u, 4u, 1000u, 1u, 17u}) {
    EXPECT_EQ(calls_per_index(pool, count), std::vector<int>(count, 1)) << count;
  }
}

TEST(WorkerPool, ZeroJobsReturnsWithoutCallingTheJob) {
  WorkerPool pool(2);
  std::atomic<int> calls = 0;
  pool.run(0, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST(WorkerPool, OtherJobsRunWhileOneJobIsStillBusy) {
  // Job 0 waits until every other job has finished: that completes only when the other
  // workers keep taking jobs while one of them is held up, and run() waits for job 0 too.
  WorkerPool pool(2);
  constexpr std::size_t k_count = 64;
  std::atomic<std::size_t> others_done = 0;
  std::atomic<bool> first_saw_all = false;
  std::atomic<bool> first_finished = false;
  pool.run(k_count, [&](std::size_t i) {
    if (i != 0) {
      ++others_done;
      return;
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (others_done < k_count - 1 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    first_saw_all = others_done == k_count - 1;
    first_finished = true;
  });
  EXPECT_TRUE(first_finished);
  EXPECT_TRUE(first_saw_all);
}

TEST(WorkerPool, ConcurrentCallersEachGetTheirOwnCompleteRun) {
  WorkerPool pool(2);
  std::vector<int> a;
  std::vector<int> b;
  std::thread other([&] { a = calls_per_index(pool, 300); });
  b = calls_per_index(pool, 500);
  other.join();
  EXPECT_EQ(a, std::vector<int>(300, 1));
  EXPECT_EQ(b, std::vector<int>(500, 1));
}

TEST(WorkerPool, TicksTheCallingThreadWhileJobsRunAndWhileItQueuesAndMayGiveUpItsTurn) {
  // Job 0 holds its batch until the caller has ticked three times: the batch ends only when the
  // caller ticks during it, on its own thread. A second caller, queued behind that batch, ticks
  // while it waits for its turn.
  WorkerPool pool(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> ticks = 0;
  std::atomic<int> queued_ticks = 0;
  std::atomic<bool> other_thread_ticked = false;
  std::atomic<bool> queued_started = false;
  std::thread queued;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const auto tick = [&] {
    if (std::this_thread::get_id() != caller) other_thread_ticked = true;
    ++ticks;
  };
  bool queued_ran = true;
  bool queued_job_called = false;
  pool.run(
      4,
      [&](std::size_t i) {
        if (i != 0) return;
        queued_started = true;
        while ((ticks < 3 || queued_ticks < 2) && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      },
      [&] {
        tick();
        if (ticks == 1) {
          // It gives its turn up after its second tick: its job never runs.
          queued = std::thread([&] {
            queued_ran = pool.run(
                1, [&](std::size_t) { queued_job_called = true; },
                [&] { return ++queued_ticks < 2; }, std::chrono::milliseconds(1));
          });
        }
        return true;
      },
      std::chrono::milliseconds(5));
  queued.join();
  EXPECT_TRUE(queued_started);
  EXPECT_GE(ticks, 3);
  EXPECT_GE(queued_ticks, 2);
  EXPECT_FALSE(queued_ran);
  EXPECT_FALSE(queued_job_called);
  EXPECT_FALSE(other_thread_ticked);
}

TEST(WorkerPool, WithoutWorkersTheCallerRunsEveryJobInOrderAndTicksBetween) {
  // What a pool falls back to when the system lets it start no thread.
  WorkerPool pool(0);
  EXPECT_EQ(pool.worker_count(), 0u);
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<std::size_t> order;
  bool elsewhere = false;
  int ticks = 0;
  pool.run(
      5,
      [&](std::size_t i) {
        elsewhere |= std::this_thread::get_id() != caller;
        order.push_back(i);
      },
      [&] {
        ++ticks;
        return true;
      },
      std::chrono::milliseconds(0));
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(ticks, 5);
  EXPECT_EQ(calls_per_index(pool, 3), std::vector<int>(3, 1));
}

TEST(WorkerPool, InstanceIsOnePoolWithOneWorkerPerLogicalProcessor) {
  WorkerPool& pool = WorkerPool::instance();
  EXPECT_EQ(&pool, &WorkerPool::instance());
  EXPECT_EQ(pool.worker_count(), platform::logical_processor_count());
  EXPECT_EQ(calls_per_index(pool, 10), std::vector<int>(10, 1));
}

}  // namespace
}  // namespace quendal
