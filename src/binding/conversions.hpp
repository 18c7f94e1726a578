#pragma once
// Python values -> the module's own values, and back. Every function throws
// RaisedError or PythonErrorSet on failure and never leaves a reference behind.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"

namespace vok::binding {

// A str's UTF-8 text, read in place: valid while `object` lives.
std::string_view text_in_place(PyObject* object);
std::string to_text(PyObject* object);
float to_f32(PyObject* object);           // nearest 32-bit float; too large gives an infinity
std::uint64_t to_u64(PyObject* object);   // anything with an integer index, 0 ..= 2^64-1
bool to_bool(PyObject* object);           // exactly True or False
std::vector<float> to_float_sequence(PyObject* object);
std::array<std::vector<float>, 4> to_four_float_sequences(PyObject* object);

PyRef to_python(std::string_view text);
PyRef to_python(float value);             // widened exactly
PyRef to_python(std::uint64_t value);
PyRef to_python(bool value);

// Conversion by the rule of a field's type, used by the generic setters.
template <class T> T from_python(PyObject* object);
template <> inline std::string from_python<std::string>(PyObject* object) { return to_text(object); }
template <> inline float from_python<float>(PyObject* object) { return to_f32(object); }
template <> inline std::uint64_t from_python<std::uint64_t>(PyObject* object) { return to_u64(object); }
template <> inline bool from_python<bool>(PyObject* object) { return to_bool(object); }

}  // namespace vok::binding
