// Result<T>: a value or a one-line failure message. Errors travel as values; nothing is thrown
// across steps.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quendal {

// The failure half of a Result: one line of text without a trailing line feed.
struct Failure {
  std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : m_state(std::in_place_index<1>, std::move(failure.message)) {}

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
  const std::string& error() const { return std::get<1>(m_state); }
  Failure failure() const { return Failure{error()}; }

 private:
  std::variant<T, std::string> m_state;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : m_error(std::move(failure.message)) {}

  bool ok() const { return !m_error.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok().
  const std::string& error() const { return *m_error; }
  Failure failure() const { return Failure{*m_error}; }

 private:
  std::optional<std::string> m_error;
};

}  // namespace quendal
