#include "util/parallel.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace quendal {

void run_in_parallel(std::size_t count, std::size_t threads,
                     const std::function<void(std::size_t)>& job) {
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr failure;
  const auto work = [&] {
    try {
      for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) job(i);
    } catch (const std::bad_alloc&) {
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    } catch (const std::length_error&) {
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(threads > 1 ? threads - 1 : 0);
    for (std::size_t i = 1; i < threads && i < count; ++i) helpers.emplace_back(work);
  } catch (const std::system_error&) {  // the caller works on with the threads it has
  } catch (const std::bad_alloc&) {
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quendal
