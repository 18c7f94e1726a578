// The one place where C++ exceptions become Python exceptions: every bound
// function's failure passes through the translator registered here.
#include <new>
#include <stdexcept>

#include "bindings.hpp"
#include "scoring/internal_failure.hpp"
#include "stream/errors.hpp"

namespace vok::scanner_binding {
namespace {

PyObject* input_error_type = nullptr;  // _engine.InputError, kept for the module's life

void raise_input_error(const stream::InputError& error) {
  py::object instance = py::reinterpret_steal<py::object>(
      PyObject_CallFunction(input_error_type, "s", error.what()));
  if (!instance) return;  // the call left its own exception set
  instance.attr("record") = error.record ? py::cast(*error.record) : py::none();
  instance.attr("offset") = error.offset ? py::cast(*error.offset) : py::none();
  PyErr_SetObject(input_error_type, instance.ptr());
}

void raise_file_error(const stream::FileError& error) {
  // OSError(errno, text, filename) becomes the matching subclass
  // (FileNotFoundError, BrokenPipeError, ...).
  py::object instance;
  if (error.path.empty()) {
    instance = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(PyExc_OSError, "is", error.os_code, error.what()));
  } else {
    instance = py::reinterpret_steal<py::object>(PyObject_CallFunction(
        PyExc_OSError, "iss", error.os_code, std::strerror(error.os_code), error.path.c_str()));
  }
  if (!instance) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
}

void translate(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const py::builtin_exception&) {
    throw;  // pybind11's own (stop_iteration, value_error, ...)
  } catch (const py::error_already_set&) {
    throw;
  } catch (const stream::InputError& error) {
    raise_input_error(error);
  } catch (const stream::FileError& error) {
    raise_file_error(error);
  } catch (const stream::ScanInterrupted&) {
    // The signal check left the handler's exception (KeyboardInterrupt) set,
    // unless the stop callable asked for the end.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const InternalFailure& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (const std::out_of_range& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

}  // namespace

void register_errors(py::module_& module) {
  input_error_type = PyErr_NewExceptionWithDoc(
      "vokscan._engine.InputError",
      "Bad input: a sequence letter, compressed data or a motif; the message names the file, "
      "record, line or motif.",
      PyExc_ValueError, nullptr);
  if (input_error_type == nullptr) throw py::error_already_set();
  module.add_object("InputError", py::handle(input_error_type));
  py::register_exception_translator(&translate);
}

stream::Strand parse_strand(const std::string& text) {
  if (text == "both") return stream::Strand::kBoth;
  if (text == "forward") return stream::Strand::kForward;
  if (text == "reversed") return stream::Strand::kReversed;
  throw py::value_error("strand must be 'both', 'forward' or 'reversed', not '" + text + "'");
}

}  // namespace vok::scanner_binding
