#pragma once
// An owning reference to a Python object: the one place that releases
// references, so no code path has to remember a Py_DECREF of its own.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quenlith_runtime {

class PyRef {
public:
    struct Steal {};
    struct Borrow {};

    PyRef() noexcept = default;
    // Takes over a reference the caller already owns (a new reference
    // returned by the C API). A null pointer stays null.
    PyRef(Steal, PyObject* object) noexcept : object_(object) {}
    // Adds a reference of its own to a borrowed object.
    PyRef(Borrow, PyObject* object) noexcept : object_(Py_XNewRef(object)) {}

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef taken(std::move(other));
        std::swap(object_, taken.object_);  // `taken` releases what we held
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference on to a caller that takes ownership of it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

[[nodiscard]] inline PyRef steal(PyObject* object) noexcept { return PyRef(PyRef::Steal{}, object); }
[[nodiscard]] inline PyRef borrow(PyObject* object) noexcept { return PyRef(PyRef::Borrow{}, object); }

}  // namespace quenlith_runtime
