#pragma once
// The one error type of the model and the store. Every fallible operation
// returns Result<T>: its value or a RuntimeError, never an exception.

#include <string>
#include <utility>

#include "expected.hpp"

namespace quenlith_core::error {

class RuntimeError {
public:
    enum class Kind { Storage, Query };

    static RuntimeError storage(std::string detail) { return {Kind::Storage, std::move(detail)}; }
    static RuntimeError query(std::string detail) { return {Kind::Query, std::move(detail)}; }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

    // "storage error: {}" or "query error: {}".
    [[nodiscard]] std::string display() const;

    friend bool operator==(const RuntimeError&, const RuntimeError&) = default;

private:
    RuntimeError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

template <class T>
using Result = quenlith_types::Expected<T, RuntimeError>;

using quenlith_types::fail;

}  // namespace quenlith_core::error
