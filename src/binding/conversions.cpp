#include "conversions.hpp"

#include "errors.hpp"

namespace vok::binding {

std::string_view text_in_place(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw_pending_error();  // lone surrogates have no UTF-8 form
  return {text, static_cast<std::size_t>(size)};
}

std::string to_text(PyObject* object) { return std::string(text_in_place(object)); }

float to_f32(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_pending_error();
  return static_cast<float>(value);
}

std::uint64_t to_u64(PyObject* object) {
  PyRef index = check_new(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending_error();
  return value;
}

bool to_bool(PyObject* object) {
  if (!PyBool_Check(object)) throw_conversion_error(object, "PyBool");
  return object == Py_True;
}

std::vector<float> to_float_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) throw RaisedError(PyErrorKind::kValueError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  std::vector<float> values;
  const Py_ssize_t size_hint = PySequence_Size(object);
  if (size_hint < 0) {
    PyErr_Clear();  // the length only sizes the storage
  } else {
    values.reserve(static_cast<std::size_t>(size_hint));
  }
  PyRef iterator = check_new(PyObject_GetIter(object));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) values.push_back(to_f32(item.get()));
  if (PyErr_Occurred()) throw_pending_error();
  return values;
}

std::array<std::vector<float>, 4> to_four_float_sequences(PyObject* object) {
  if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) throw_pending_error();
  if (length != 4) {
    throw RaisedError(PyErrorKind::kValueError,
                      "expected a sequence of length 4 (got " + std::to_string(length) + ")");
  }
  std::array<std::vector<float>, 4> columns;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    PyRef item = check_new(PySequence_GetItem(object, i));
    columns[static_cast<std::size_t>(i)] = to_float_sequence(item.get());
  }
  return columns;
}

PyRef to_python(std::string_view text) {
  return check_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
PyRef to_python(float value) { return check_new(PyFloat_FromDouble(static_cast<double>(value))); }
PyRef to_python(std::uint64_t value) { return check_new(PyLong_FromUnsignedLongLong(value)); }
PyRef to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

}  // namespace vok::binding
