// Allocation failure as a failure message. The standard library reports an allocation it cannot
// make by throwing std::bad_alloc, or std::length_error for a size no allocation can have. Code
// catches them only where a thread's work ends (a run, a pool job, main, a C entry point),
// which turns them into the message of the step that was under way, and where it truly recovers
// (see catch_out_of_memory); everywhere else they pass through.
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

// What is shown for an allocation failure whose own message could not be built.
inline constexpr std::string_view k_run_out_of_memory = "Failed to run scan: out of memory";

// "<action> '<path>': out of memory", or "<action>: out of memory" without a path, of kind
// out_of_memory. When even that text cannot be allocated, the message is empty (see
// shown_message).
inline Failure out_of_memory_failure(std::string_view action,
                                     std::optional<std::string_view> path = std::nullopt) noexcept {
  try {
    std::string message(action);
    if (path) message.append(" '").append(*path).append("'");
    message.append(": ").append(k_out_of_memory);
    return Failure{std::move(message), FailureKind::out_of_memory};
  } catch (const std::exception&) {
    return Failure{std::string(), FailureKind::out_of_memory};
  }
}

// The text to show for `failure`: its message, or k_run_out_of_memory when it has none.
inline std::string_view shown_message(const Failure& failure) {
  if (failure.message.empty() && failure.kind == FailureKind::out_of_memory) {
    return k_run_out_of_memory;
  }
  return failure.message;
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

}  // namespace detail

// Runs step(); false when an allocation inside it failed. For code that carries on without
// what it could not allocate.
template <typename Step>
bool allocated(Step&& step) {
  try {
    std::forward<Step>(step)();
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return false;
}

// Runs step() and returns its Result (a step that returns a plain value, or nothing, has it
// wrapped in one); an allocation failure inside it ends it with `make_failure()`. For the
// boundaries where work ends or recovers, not for ordinary steps.
template <typename Step, typename MakeFailure>
auto catch_out_of_memory(Step&& step, MakeFailure&& make_failure) ->
    typename detail::AsResult<std::invoke_result_t<Step>>::type {
  using Returned = std::invoke_result_t<Step>;
  using Out = typename detail::AsResult<Returned>::type;
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
  return Out(std::forward<MakeFailure>(make_failure)());
}

}  // namespace quendal
