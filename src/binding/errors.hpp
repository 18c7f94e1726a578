#pragma once
// Python failures as C++ exceptions, and the one place where every exception
// thrown inside the module becomes a Python exception.
#include "py_ref.hpp"

#include <exception>
#include <string>

namespace vok::binding {

enum class PyErrorKind { kTypeError, kValueError, kAttributeError, kRuntimeError, kOSError };

// A Python exception with a single message argument, described in C++ terms.
class RaisedError : public std::exception {
 public:
  RaisedError(PyErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  PyErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  PyErrorKind kind_;
  std::string message_;
};

// The interpreter already holds the exception to raise.
class PythonErrorSet : public std::exception {
 public:
  const char* what() const noexcept override { return "Python exception set"; }
};

// Throws PythonErrorSet, first setting SystemError if the interpreter reported
// a failure without setting an exception.
[[noreturn]] void throw_pending_error();

// For interpreter calls returning a new reference: null means failure.
inline PyRef check_new(PyObject* result) {
  if (result == nullptr) throw_pending_error();
  return PyRef::steal(result);
}
// For interpreter calls returning a status: -1 means failure.
inline void check_status(int status) {
  if (status < 0) throw_pending_error();
}

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void raise_current_exception() noexcept;

// Raises PanicException(message): the module's own consistency checks failed.
void raise_panic(const char* message) noexcept;

// Entry-point wrappers: no C++ exception ever crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

// Runs the conversion of argument `name`; a TypeError from it is raised again
// with the prefix "argument '<name>': ", other errors pass unchanged.
void prefix_argument_type_error(const char* name);  // acts on the exception being handled

template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const RaisedError&) {
    prefix_argument_type_error(name);
    throw;
  } catch (const PythonErrorSet&) {
    prefix_argument_type_error(name);
    throw;
  }
}

// The __qualname__ of an object's type, as error messages name it.
std::string type_qualname(PyObject* object);

// "'<type>' object cannot be converted to '<target>'"
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

}  // namespace vok::binding
