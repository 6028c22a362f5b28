// A value or an error: how failures travel between the layers of the system. Never dropped
// unread: a caller that may ignore a failure says so, and why.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace tvrn {

// Wraps an error so that Result<T, E> can be built from it even when T and E are one type.
template <typename E>
struct Failure {
  E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value)
      : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <typename F>
  Result(Failure<F> failure)  // NOLINT: implicit by design
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

// A step that gives nothing back but may fail: `return {};` when it worked, `return fail(why);`
// when not. Like any Result it cannot be dropped unread, unlike an optional text or a flag.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  Result(Failure<F> failure)  // NOLINT: implicit by design
      : error_(E(std::move(failure.error))) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const E& error() const& {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

}  // namespace tvrn
