#include "errors.hpp"

#include <new>

#include "scoring/internal_failure.hpp"

namespace vok::binding {
namespace {

PyObject* python_type(PyErrorKind kind) {
  switch (kind) {
    case PyErrorKind::kTypeError: return PyExc_TypeError;
    case PyErrorKind::kValueError: return PyExc_ValueError;
    case PyErrorKind::kAttributeError: return PyExc_AttributeError;
    case PyErrorKind::kRuntimeError: return PyExc_RuntimeError;
    case PyErrorKind::kOSError: return PyExc_OSError;
  }
  return PyExc_SystemError;
}

// Created at the first internal failure and kept for the life of the process.
// Derived from BaseException so that `except Exception` does not swallow it.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "vok.PanicException",
        "An internal consistency check of vok failed; the call was abandoned and nothing was changed.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

constexpr const char* kGenericFailure = "vok stopped on an internal failure";

// Messages may hold any character, NUL included (a reader's unread rest of a text).
void set_error(PyObject* type, const std::string& message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void throw_pending_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonErrorSet();
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the class failed; its own error stays pending
  set_error(type, message);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const RaisedError& error) {
    set_error(python_type(error.kind()), error.message());
  } catch (const InternalFailure& failure) {
    raise_panic(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(kGenericFailure);
  }
}

void prefix_argument_type_error(const char* name) {
  std::string prefix = "argument '";
  prefix += name;
  prefix += "': ";
  try {
    throw;
  } catch (const RaisedError& error) {
    if (error.kind() == PyErrorKind::kTypeError) {
      throw RaisedError(PyErrorKind::kTypeError, prefix + error.message());
    }
  } catch (const PythonErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef old_type = PyRef::steal(type), old_value = PyRef::steal(value), old_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(old_value.get()));
    if (!text) throw_pending_error();
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    if (!message) throw_pending_error();
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) throw_pending_error();
    PyException_SetCause(replacement.get(), PyException_GetCause(old_value.get()));  // steals the new cause reference
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PythonErrorSet();
  }
}

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(text, size);
  }
  PyErr_Clear();
  return Py_TYPE(object)->tp_name;
}

void throw_conversion_error(PyObject* object, const char* target) {
  throw RaisedError(PyErrorKind::kTypeError,
                    "'" + type_qualname(object) + "' object cannot be converted to '" + target + "'");
}

}  // namespace vok::binding
