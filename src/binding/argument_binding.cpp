#include "argument_binding.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"

namespace vok::binding {
namespace {

[[noreturn]] void fail(const Signature& signature, const std::string& rest) {
  throw RaisedError(PyErrorKind::kTypeError, std::string(signature.display_name) + " " + rest);
}

std::string single_quoted(std::string_view name) {
  std::string text = "'";
  text += name;
  text += '\'';
  return text;
}

std::string_view keyword_text(PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (text == nullptr) throw_pending_error();
  return {text, static_cast<std::size_t>(size)};
}

void place_positional(const Signature& signature, std::size_t given, std::span<PyObject*> slots,
                      auto&& positional_at) {
  if (given > signature.parameters.size()) {
    fail(signature, "takes " + std::to_string(signature.parameters.size()) +
                        " positional arguments but " + std::to_string(given) + " were given");
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = positional_at(i);
}

void place_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> slots) {
  const std::string_view name = keyword_text(key);
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (name == signature.parameters[i]) {
      if (slots[i] != nullptr) fail(signature, "got multiple values for argument " + single_quoted(name));
      slots[i] = value;
      return;
    }
  }
  fail(signature, "got an unexpected keyword argument " + single_quoted(name));
}

void require_all(const Signature& signature, std::span<PyObject*> slots) {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (slots[i] == nullptr) missing.push_back(single_quoted(signature.parameters[i]));
  }
  if (missing.empty()) return;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
    names += missing[i];
  }
  fail(signature, "missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + names);
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* keyword_names, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  place_positional(signature, given, slots, [&](std::size_t i) { return args[i]; });
  if (keyword_names != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
      place_keyword(signature, PyTuple_GET_ITEM(keyword_names, k), args[given + k], slots);
    }
  }
  require_all(signature, slots);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  place_positional(signature, given, slots, [&](std::size_t i) { return PyTuple_GET_ITEM(args, i); });
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) place_keyword(signature, key, value, slots);
  }
  require_all(signature, slots);
}

}  // namespace vok::binding
