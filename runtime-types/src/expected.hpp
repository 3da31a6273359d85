#pragma once
// A value-or-error result. Errors travel as values through every layer below
// the Python binding; only the binding turns them into exceptions.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quenlith_types {

template <class E>
struct Failure {
    E error;
};

template <class E>
[[nodiscard]] Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Expected(Failure<F> failure) : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }

    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Expected(Failure<F> failure) : error_(E(std::move(failure.error))) {}

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace quenlith_types
