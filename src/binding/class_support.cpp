#include "class_support.hpp"

#include "classes.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::binding {

PyTypeObject* create_type(const char* qualified_name, std::size_t instance_size, PyType_Slot* slots) {
  PyType_Spec spec{qualified_name, static_cast<int>(instance_size), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* create_class_type(const char* name, const char* type_name, std::size_t instance_size,
                                PyType_Slot* slots) {
  PyTypeObject* type = create_type(type_name, instance_size, slots);
  if (type == nullptr) {
    PyErr_Print();
    throw InternalFailure(std::string("An error occurred while initializing class ") + name);
  }
  return type;
}

}  // namespace vok::binding
