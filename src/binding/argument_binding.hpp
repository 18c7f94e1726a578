#pragma once
// Binding the caller's positional and keyword arguments to parameter slots.
// Every parameter of the module is required and may be given by position or
// by keyword; nothing extra is accepted.
#include <array>
#include <cstddef>
#include <span>

#include "py_ref.hpp"

namespace vok::binding {

struct Signature {
  const char* display_name;                // "parse_fasta()", "VokCalculator.add_pwm()"
  std::span<const char* const> parameters; // names in order
};

// Fast-call convention: args[0..nargs) positional, then one value per name in
// `keyword_names` (a tuple or null). Fills `slots` with borrowed references.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* keyword_names, std::span<PyObject*> slots);

// Tuple-and-dict convention of constructors.
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

template <std::size_t N>
struct BoundArguments {
  std::array<PyObject*, N> values{};  // borrowed from the caller for the call's duration
  PyObject* operator[](std::size_t i) const { return values[i]; }
};

template <std::size_t N>
BoundArguments<N> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* keyword_names) {
  BoundArguments<N> bound;
  bind_arguments(signature, args, nargs, keyword_names, bound.values);
  return bound;
}

template <std::size_t N>
BoundArguments<N> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
  BoundArguments<N> bound;
  bind_arguments(signature, args, kwargs, bound.values);
  return bound;
}

}  // namespace vok::binding
