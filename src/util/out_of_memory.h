// Allocation failure as a failure message. The standard library reports an allocation it cannot
// make by throwing std::bad_alloc, or std::length_error for a size no allocation can have; each
// step of a run catches them at its own boundary and returns them as its failure, with the cause
// "out of memory", so that a run short of memory ends with one line and exit status 1.
#pragma once

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "util/result.h"

namespace quendal {

// The cause text of an allocation failure. Short enough to be held without an allocation.
inline constexpr std::string_view k_out_of_memory = "out of memory";

// "<action> '<path>': out of memory", or "<action>: out of memory" without a path. When even
// that text cannot be allocated, the bare cause, which needs no allocation; a run's failure
// message that is only the cause is shown as "Failed to run scan: out of memory".
inline Failure out_of_memory_failure(std::string_view action,
                                     std::optional<std::string_view> path = std::nullopt) noexcept {
  try {
    std::string message(action);
    if (path) message.append(" '").append(*path).append("'");
    message.append(": ").append(k_out_of_memory);
    return Failure{std::move(message)};
  } catch (const std::exception&) {
    return Failure{std::string(k_out_of_memory)};
  }
}

namespace detail {

template <typename T>
struct AsResult {
  using type = Result<T>;
};
template <typename T>
struct AsResult<Result<T>> {
  using type = Result<T>;
};

template <typename Step, typename MakeFailure>
typename AsResult<std::invoke_result_t<Step>>::type run_catching(Step&& step,
                                                                 MakeFailure make_failure) {
  using Returned = std::invoke_result_t<Step>;
  using Out = typename AsResult<Returned>::type;
  try {
    if constexpr (std::is_void_v<Returned>) {
      std::forward<Step>(step)();
      return Out();
    } else {
      return Out(std::forward<Step>(step)());
    }
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return Out(make_failure());
}

}  // namespace detail

// Runs step() and returns its Result; a step that returns a plain value (or nothing) has it
// wrapped in one. An allocation failure inside the step ends it with the Failure of the bare
// cause "out of memory", for callers that prefix a step's causes themselves.
template <typename Step>
auto catch_out_of_memory(Step&& step) {
  return detail::run_catching(std::forward<Step>(step),
                              [] { return Failure{std::string(k_out_of_memory)}; });
}

// The same; the allocation failure becomes "<action>: out of memory".
template <typename Step>
auto catch_out_of_memory(std::string_view action, Step&& step) {
  return detail::run_catching(std::forward<Step>(step),
                              [action] { return out_of_memory_failure(action); });
}

// The same; the allocation failure becomes "<action> '<path>': out of memory".
template <typename Step>
auto catch_out_of_memory(std::string_view action, std::string_view path, Step&& step) {
  return detail::run_catching(std::forward<Step>(step),
                              [action, path] { return out_of_memory_failure(action, path); });
}

}  // namespace quendal
