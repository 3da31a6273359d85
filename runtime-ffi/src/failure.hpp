#pragma once
// How a call fails on its way out to Python.
//
// Binding, conversions, argument checks and the store all report failure as
// values (CallResult). Exceptions are raised in one place: `guarded` runs a
// method body, hands its result to `deliver`, and catches every C++
// exception, so none can unwind into the interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "expected.hpp"
#include "py_ref.hpp"

namespace quenlith_runtime {

// The interpreter's own API has already set the exception (a conversion
// failed, an allocation failed); it is passed on unchanged.
struct PythonErrorSet {};

// A failed check of an argument's text, or an error returned by the store:
// raised as Python's RuntimeError with exactly this message.
struct RuntimeErrorMessage {
    std::string text;
};

using CallError = std::variant<PythonErrorSet, RuntimeErrorMessage>;

template <class T>
using CallResult = quenlith_types::Expected<T, CallError>;

[[nodiscard]] inline quenlith_types::Failure<CallError> python_error_set() {
    return {CallError{PythonErrorSet{}}};
}

[[nodiscard]] inline quenlith_types::Failure<CallError> runtime_error(std::string message) {
    return {CallError{RuntimeErrorMessage{std::move(message)}}};
}

// The class for broken invariants (an abandoned store lock, a clock before
// 1970, any unexpected C++ exception). It derives from BaseException so that
// an ordinary `except Exception` does not swallow a fault. Created on first
// need and never added to the module: the module lives in one interpreter
// only, so a single process-wide object is sound. Returns a borrowed
// reference, or null with the creation's exception set.
[[nodiscard]] inline PyObject* internal_fault_class() noexcept {
    static PyObject* fault_class = nullptr;
    if (fault_class == nullptr) {
        fault_class = PyErr_NewExceptionWithDoc(
            "quenlith_runtime.InternalFault",
            "A broken internal invariant of the Quenlith runtime. Not an ordinary error:\n"
            "the object that raised it may refuse every further call.",
            PyExc_BaseException, nullptr);
    }
    return fault_class;
}

inline void raise_internal_fault(const char* description) noexcept {
    if (PyObject* fault_class = internal_fault_class()) PyErr_SetString(fault_class, description);
}

// The message is built from UTF-8 text that may hold NUL characters (they come
// from the caller's str), so it is decoded with its length rather than as a C
// string. Text that is somehow not UTF-8 is shown with replacement characters
// rather than turning the error into a UnicodeDecodeError.
inline void raise_runtime_error(std::string_view message) noexcept {
    PyRef text = steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                            "replace"));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
}

// Turns a finished call into what the interpreter expects: a new reference,
// or null with the exception set.
[[nodiscard]] inline PyObject* deliver(CallResult<PyRef>&& result) noexcept {
    if (result.ok()) {
        PyObject* value = std::move(result).value().release();
        if (value == nullptr && !PyErr_Occurred()) raise_internal_fault("a call succeeded without a result");
        return value;
    }
    const CallError& error = result.error();
    if (const auto* message = std::get_if<RuntimeErrorMessage>(&error)) {
        raise_runtime_error(message->text);
    } else if (!PyErr_Occurred()) {
        raise_internal_fault("a call failed without setting an exception");
    }
    return nullptr;
}

// Runs `body` (returning CallResult<PyRef>) and turns every outcome into the
// interpreter's convention. quenlith_types::InternalFault is a
// std::runtime_error and lands with every other unexpected exception in the
// internal-fault class.
template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
    try {
        return deliver(std::forward<Body>(body)());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
    } catch (...) {
        raise_internal_fault("an unidentified internal fault");
    }
    return nullptr;
}

}  // namespace quenlith_runtime
