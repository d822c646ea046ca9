// Result<T>: a value or a one-line failure message with its kind. Errors travel as values;
// nothing is thrown across steps.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quendal {

// What kind of failure a Failure is. Code asks the kind, never the message text.
enum class FailureKind {
  failed,         // anything else: the message says what and why
  cancelled,      // the caller asked the run to stop
  out_of_memory,  // an allocation failed
};

// The failure half of a Result: one line of text without a trailing line feed, and its kind.
// An out_of_memory failure may have an empty message, when even that could not be built.
struct Failure {
  std::string message;
  FailureKind kind = FailureKind::failed;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : m_state(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return m_state.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return std::get<0>(m_state); }
  const T& value() const& { return std::get<0>(m_state); }
  T&& value() && { return std::get<0>(std::move(m_state)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // REQUIRES: !ok().
  const std::string& error() const { return std::get<1>(m_state).message; }
  FailureKind kind() const { return std::get<1>(m_state).kind; }
  const Failure& failure() const& { return std::get<1>(m_state); }
  Failure&& failure() && { return std::get<1>(std::move(m_state)); }

 private:
  std::variant<T, Failure> m_state;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : m_failure(std::move(failure)) {}

  bool ok() const { return !m_failure.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok().
  const std::string& error() const { return m_failure->message; }
  FailureKind kind() const { return m_failure->kind; }
  const Failure& failure() const& { return *m_failure; }
  Failure&& failure() && { return std::move(*m_failure); }

 private:
  std::optional<Failure> m_failure;
};

}  // namespace quendal
