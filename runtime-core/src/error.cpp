#include "error.hpp"

namespace quenlith_core::error {

std::string RuntimeError::display() const {
    return (kind_ == Kind::Storage ? "storage error: " : "query error: ") + detail_;
}

}  // namespace quenlith_core::error
