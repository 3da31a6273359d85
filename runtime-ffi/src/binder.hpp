#pragma once
// Binding a call's arguments to the parameters of a constructor or method.
//
// Every function of the module describes its parameters in one constant
// table (`Parameters`) kept beside its doc string, and one bind function
// serves them all. Every parameter may be passed by position or by keyword;
// there are no positional-only, keyword-only or catch-all parameters. All
// binding messages are built in `raise_binding_error`.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "failure.hpp"
#include "py_ref.hpp"

namespace quenlith_runtime {

inline constexpr std::size_t kMaxParameters = 6;

struct Parameters {
    std::string_view class_name;
    std::string_view function_name;
    std::span<const char* const> names;  // in positional order, at most kMaxParameters
    std::size_t required;                // the first `required` names have no default
    // The names as interned str objects, filled by `intern_parameter_names`
    // when the module is created. A keyword written in source code reaches
    // us as the very same interned object, so most keywords match by pointer.
    std::span<PyObject*> interned;
};

// Interns every name of `parameters` once; false with the exception set.
[[nodiscard]] inline bool intern_parameter_names(const Parameters& parameters) noexcept {
    for (std::size_t i = 0; i < parameters.names.size(); ++i) {
        if (parameters.interned[i] != nullptr) continue;
        parameters.interned[i] = PyUnicode_InternFromString(parameters.names[i]);
        if (parameters.interned[i] == nullptr) return false;
    }
    return true;
}

// One argument after binding: the parameter's name and the value passed for
// it, borrowed from the caller for the duration of the call.
struct Argument {
    const char* name;
    PyObject* value;  // null when the argument was not passed

    [[nodiscard]] bool passed() const noexcept { return value != nullptr; }
    // For parameters whose default is None: an explicit None counts as not given.
    [[nodiscard]] bool given() const noexcept { return value != nullptr && value != Py_None; }
};

class Arguments {
public:
    explicit Arguments(const Parameters& parameters) noexcept : parameters_(&parameters) {}

    [[nodiscard]] Argument operator[](std::size_t index) const noexcept {
        return {parameters_->names[index], values_[index]};
    }

private:
    friend CallResult<Arguments> bind(const Parameters&, PyObject* const*, Py_ssize_t, PyObject*);

    const Parameters* parameters_;
    std::array<PyObject*, kMaxParameters> values_{};
};

namespace binding {

struct TooManyPositional {
    Py_ssize_t given;
};
struct UnexpectedKeyword {
    PyObject* keyword;  // borrowed from the call
};
struct MultipleValues {
    std::size_t index;
};
struct MissingRequired {
    std::array<std::size_t, kMaxParameters> indices{};
    std::size_t count = 0;
};
using Failure = std::variant<TooManyPositional, UnexpectedKeyword, MultipleValues, MissingRequired>;

// "Runtime.record()": how binding messages name the function.
[[nodiscard]] inline std::string display_name(const Parameters& parameters) {
    std::string name(parameters.class_name);
    name.append(".").append(parameters.function_name).append("()");
    return name;
}

[[nodiscard]] inline const char* was_or_were(Py_ssize_t count) noexcept {
    return count == 1 ? "was" : "were";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
[[nodiscard]] inline std::string quoted_names(const Parameters& parameters, const MissingRequired& missing) {
    std::string joined;
    for (std::size_t i = 0; i < missing.count; ++i) {
        if (i > 0) {
            if (missing.count == 2) {
                joined.append(" and ");
            } else if (i + 1 == missing.count) {
                joined.append(", and ");
            } else {
                joined.append(", ");
            }
        }
        joined.append("'").append(parameters.names[missing.indices[i]]).append("'");
    }
    return joined;
}

inline void raise_binding_error(const Parameters& parameters, const Failure& failure) {
    const std::string name = display_name(parameters);
    const auto total = parameters.names.size();
    if (const auto* too_many = std::get_if<TooManyPositional>(&failure)) {
        if (parameters.required == total) {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", name.c_str(),
                         total, too_many->given, was_or_were(too_many->given));
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                         name.c_str(), parameters.required, total, too_many->given,
                         was_or_were(too_many->given));
        }
    } else if (const auto* unexpected = std::get_if<UnexpectedKeyword>(&failure)) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", name.c_str(),
                     unexpected->keyword);
    } else if (const auto* twice = std::get_if<MultipleValues>(&failure)) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", name.c_str(),
                     parameters.names[twice->index]);
    } else if (const auto* missing = std::get_if<MissingRequired>(&failure)) {
        const std::string names = quoted_names(parameters, *missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", name.c_str(), missing->count,
                     missing->count == 1 ? "argument" : "arguments", names.c_str());
    }
}

// Pointer comparison first, against the interned names; only a keyword that
// was built at run time needs the comparison of its text.
[[nodiscard]] inline std::optional<std::size_t> find_parameter(const Parameters& parameters,
                                                               PyObject* keyword) noexcept {
    const auto total = parameters.names.size();
    for (std::size_t i = 0; i < total; ++i) {
        if (parameters.interned[i] == keyword) return i;
    }
    for (std::size_t i = 0; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) return i;
    }
    return std::nullopt;
}

}  // namespace binding

// Binds a call in the interpreter's fast form: `args` holds `nargs`
// positional values followed by one value for each name in `kwnames` (a
// tuple of str, or null). On failure the TypeError is set.
[[nodiscard]] inline CallResult<Arguments> bind(const Parameters& parameters, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) {
    const auto total = parameters.names.size();
    if (static_cast<std::size_t>(nargs) > total) {
        binding::raise_binding_error(parameters, binding::TooManyPositional{nargs});
        return python_error_set();
    }
    Arguments bound(parameters);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.values_[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        const std::optional<std::size_t> index = binding::find_parameter(parameters, keyword);
        if (!index) {
            binding::raise_binding_error(parameters, binding::UnexpectedKeyword{keyword});
            return python_error_set();
        }
        if (bound.values_[*index] != nullptr) {
            binding::raise_binding_error(parameters, binding::MultipleValues{*index});
            return python_error_set();
        }
        bound.values_[*index] = args[nargs + i];
    }

    binding::MissingRequired missing;
    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (bound.values_[i] == nullptr) missing.indices[missing.count++] = i;
    }
    if (missing.count > 0) {
        binding::raise_binding_error(parameters, missing);
        return python_error_set();
    }
    return bound;
}

// Binds a call in the classic form (an argument tuple and a keyword dict, as
// tp_new receives it) by laying it out in the fast form first.
[[nodiscard]] inline CallResult<Arguments> bind(const Parameters& parameters, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t keyword_count = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + keyword_count));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);

    PyRef kwnames;
    if (keyword_count > 0) {
        kwnames = steal(PyTuple_New(keyword_count));
        if (!kwnames) return python_error_set();
        Py_ssize_t position = 0;
        Py_ssize_t slot = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), slot, Py_NewRef(key));
            stack[static_cast<std::size_t>(nargs + slot)] = value;
            ++slot;
        }
    }
    // The values stay borrowed from `args` and `kwargs`, which the caller
    // keeps alive for the whole call; only the names tuple is ours.
    return bind(parameters, stack.data(), nargs, kwnames.get());
}

}  // namespace quenlith_runtime
