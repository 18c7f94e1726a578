// The PwmMatrix class: a named weight matrix of raw per-position values.
#include <algorithm>
#include <cmath>

#include "classes.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::binding {
namespace {

constexpr const char* kParameters[] = {"name", "m"};
constexpr Signature kConstructor{"PwmMatrix.__new__()", kParameters};

// Column k is list k. A NaN in list k is reported before a length mismatch of
// list k, and both after lists 0..k-1 passed.
PwmMatrix matrix_from_columns(std::string name, const std::array<std::vector<float>, 4>& columns) {
  PwmMatrix matrix(std::move(name), columns[0].size());
  for (std::size_t base = 0; base < 4; ++base) {
    const std::vector<float>& column = columns[base];
    for (float value : column) {
      if (std::isnan(value)) throw RaisedError(PyErrorKind::kOSError, "FloatIsNan");
    }
    if (column.size() != matrix.length) {
      throw InternalFailure("Unable to copy from a matrix with a different shape.");
    }
    std::copy(column.begin(), column.end(), matrix.values.begin() + base * matrix.length);
  }
  return matrix;
}

PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const auto arguments = bind<2>(kConstructor, args, kwargs);
    std::string name = convert_argument("name", [&] { return to_text(arguments[0]); });
    const auto columns = convert_argument("m", [&] { return to_four_float_sequences(arguments[1]); });
    return wrap<PwmMatrixClass>(matrix_from_columns(std::move(name), columns)).release();
  });
}

// One list per position [A, C, G, T], although the constructor takes one list per base.
PyObject* get_rows(PyObject* self, void*) noexcept {
  return guarded([&] {
    auto& instance = instance_of<PwmMatrixClass>(self);
    SharedBorrow borrow(instance.borrow);
    const PwmMatrix& matrix = instance.record;
    PyRef rows = check_new(PyList_New(static_cast<Py_ssize_t>(matrix.length)));
    for (std::size_t i = 0; i < matrix.length; ++i) {
      PyRef row = check_new(PyList_New(4));
      for (std::size_t base = 0; base < 4; ++base) {
        PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(base), to_python(matrix.at(i, base)).release());
      }
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return rows.release();
  });
}

}  // namespace

PyTypeObject* PwmMatrixClass::type() {
  static PyGetSetDef attributes[] = {
      field<PwmMatrixClass, &PwmMatrix::name>("name"),
      {"matrix", &get_rows, nullptr, nullptr, nullptr},
      kGetSetEnd,
  };
  static PyType_Slot slots[] = {
      dealloc_slot<PwmMatrixClass>(), repr_slot<PwmMatrixClass>(),
      {Py_tp_new, reinterpret_cast<void*>(&construct)},
      {Py_tp_getset, attributes}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<PwmMatrixClass>(slots);
  return type;
}

}  // namespace vok::binding
