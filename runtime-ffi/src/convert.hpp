#pragma once
// Converting bound arguments to C++ values, and C++ results to new Python
// objects.
//
// An argument conversion that fails with exactly TypeError is renamed after
// its parameter ("argument 'limit': ..."); every other conversion failure
// (OverflowError, UnicodeEncodeError, ...) reaches the caller as the
// interpreter raised it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "binder.hpp"
#include "compat.hpp"
#include "failure.hpp"
#include "py_ref.hpp"

namespace quenlith_runtime {

// Replaces a pending TypeError (exactly that class) by the TypeError
// "argument '{name}': {message}" whose cause is the original's cause.
inline void name_argument_in_type_error(const char* name) noexcept {
    PyRef original = steal(compat::take_raised_exception());
    if (!original) return;
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        compat::restore_raised_exception(original.release());
        return;
    }
    PyRef detail = steal(PyObject_Str(original.get()));
    if (!detail) return;
    PyRef message = steal(PyUnicode_FromFormat("argument '%s': %U", name, detail.get()));
    if (!message) return;
    PyRef renamed = steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return;
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
    compat::restore_raised_exception(renamed.release());
}

[[nodiscard]] inline quenlith_types::Failure<CallError> conversion_failed(const Argument& argument) noexcept {
    name_argument_in_type_error(argument.name);
    return python_error_set();
}

// A str (or subclass) as UTF-8. The view points into the str object's own
// UTF-8 cache, which lives as long as the caller's argument; a NUL inside the
// text is kept, with its length.
[[nodiscard]] inline CallResult<std::string_view> text_argument(const Argument& argument) {
    if (!PyUnicode_Check(argument.value)) {
        PyRef type_name = steal(compat::type_qualified_name(Py_TYPE(argument.value)));
        if (type_name) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", type_name.get());
        }
        return conversion_failed(argument);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(argument.value, &size);
    if (data == nullptr) return conversion_failed(argument);
    return std::string_view(data, static_cast<std::size_t>(size));
}

// For text parameters whose default is None: absent or None gives nothing.
[[nodiscard]] inline CallResult<std::optional<std::string_view>> optional_text_argument(const Argument& argument) {
    if (!argument.given()) return std::optional<std::string_view>();
    CallResult<std::string_view> text = text_argument(argument);
    if (!text) return quenlith_types::fail(std::move(text).error());
    return std::optional<std::string_view>(*text);
}

// Whatever the interpreter turns into a float: float, int, __float__, __index__.
[[nodiscard]] inline CallResult<double> float_argument(const Argument& argument) {
    const double value = PyFloat_AsDouble(argument.value);
    if (value == -1.0 && PyErr_Occurred()) return conversion_failed(argument);
    return value;
}

// An int (bool included) is taken as it is; anything else goes through
// __index__. Negative values and values of 2**64 or more raise the
// interpreter's OverflowError.
[[nodiscard]] inline CallResult<std::uint64_t> unsigned_argument(const Argument& argument) {
    PyRef index = PyLong_Check(argument.value) ? borrow(argument.value) : steal(PyNumber_Index(argument.value));
    if (!index) return conversion_failed(argument);
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return conversion_failed(argument);
    return static_cast<std::uint64_t>(value);
}

// Results. Each returns a new reference, or null with the exception set.

[[nodiscard]] inline PyRef new_text(std::string_view text) noexcept {
    return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

[[nodiscard]] inline PyRef new_unsigned(std::uint64_t value) noexcept {
    return steal(PyLong_FromUnsignedLongLong(value));
}

[[nodiscard]] inline PyRef new_float(double value) noexcept { return steal(PyFloat_FromDouble(value)); }

[[nodiscard]] inline PyRef new_bool(bool value) noexcept { return steal(PyBool_FromLong(value ? 1 : 0)); }

// Sets `key` of `dict` to `value`, taking the reference. False with the
// exception set when `value` is missing (its creation failed) or the
// insertion fails. Callers chain these with && so that nothing more is
// created once an exception is pending.
// The result dicts' keys are a few fixed literals: each is made and interned
// once, on first use, instead of once per dict. Like the type, they belong
// to the one interpreter the module lives in, and live as long as it.
[[nodiscard]] inline PyObject* dict_key(const char* key) noexcept {
    static std::unordered_map<const char*, PyObject*> keys;  // guarded by the GIL
    const auto found = keys.find(key);
    if (found != keys.end()) return found->second;
    PyObject* made = PyUnicode_InternFromString(key);
    if (!made) return nullptr;
    try {
        keys.emplace(key, made);
    } catch (...) {  // std::bad_alloc from the map
        Py_DECREF(made);
        PyErr_NoMemory();
        return nullptr;
    }
    return made;
}

[[nodiscard]] inline bool set_item(const PyRef& dict, const char* key, PyRef value) noexcept {
    if (!value) return false;
    PyObject* name = dict_key(key);
    return name && PyDict_SetItem(dict.get(), name, value.get()) == 0;
}

// A list of the same length as `items`, one element per item by `convert`
// (returning a PyRef, null on failure).
template <class Items, class Convert>
[[nodiscard]] PyRef new_list(const Items& items, Convert convert) {
    PyRef list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    Py_ssize_t position = 0;
    for (const auto& item : items) {
        PyRef element = convert(item);
        if (!element) return PyRef();
        PyList_SET_ITEM(list.get(), position++, element.release());
    }
    return list;
}

// A built result as the method's outcome.
[[nodiscard]] inline CallResult<PyRef> built(PyRef result) {
    if (!result) return python_error_set();
    return result;
}

}  // namespace quenlith_runtime
