#pragma once
// The few interpreter calls that older CPython releases lack, behind one
// spelling. The module supports CPython 3.10 and later; where the current
// interpreter has the call, it is used directly, so behaviour on 3.12 and
// later is exactly that of the interpreter's own function.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quenlith_runtime::compat {

// Takes the pending exception off the interpreter: a new reference to the
// exception instance, or null when none is pending. Before 3.12 the
// interpreter keeps an exception as a (type, value, traceback) triple whose
// value may not be an instance yet, so it is normalised and the traceback
// attached to it, which is the form 3.12 keeps it in.
[[nodiscard]] inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (a reference that this call takes over, or null) the
// pending exception, replacing any that is pending; null clears it.
inline void restore_raised_exception(PyObject* exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (exception == nullptr) {
        PyErr_Restore(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyObject* traceback = PyException_GetTraceback(exception);
    PyErr_Restore(type, exception, traceback);
#endif
}

// The qualified name of `type` as a new str reference, or null with the
// exception set. Before 3.11 there is no direct call; the type's
// __qualname__ attribute gives the same text for heap and static types
// alike (tp_name would carry the module prefix of a static type).
[[nodiscard]] inline PyObject* type_qualified_name(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

}  // namespace quenlith_runtime::compat
