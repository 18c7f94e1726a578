// The module entry: PyInit_vok creates the module once per process and
// registers its classes and functions in a fixed order.
#include <atomic>

#include "classes.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vok",    // m_name
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods: functions are added as attributes after creation
    nullptr, nullptr, nullptr, nullptr,
};

// Set when initialisation starts and never cleared: the type objects and the
// worker pool are process-wide, so a second module object is refused.
std::atomic<bool> initialised{false};

PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
    PyErr_Clear();
    all = check_new(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    throw_conversion_error(all.get(), "PyList");
  }
  return all;
}

void add_member(PyObject* module, PyObject* name, PyObject* member) {
  PyRef all = all_list(module);
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw InternalFailure("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttr(module, name, member));
}

template <class Class>
void register_class(PyObject* module) {
  PyObject* type = reinterpret_cast<PyObject*>(Class::type());
  PyRef name = check_new(PyUnicode_FromString(Class::kName));
  add_member(module, name.get(), type);
}

void register_function(PyObject* module, PyMethodDef& definition) {
  PyRef module_name = check_new(PyModule_GetNameObject(module));
  PyRef function = check_new(PyCMethod_New(&definition, module, module_name.get(), nullptr));
  PyRef name = check_new(PyObject_GetAttrString(function.get(), "__name__"));
  add_member(module, name.get(), function.get());
}

}  // namespace
}  // namespace vok::binding

PyMODINIT_FUNC PyInit_vok() {
  using namespace vok::binding;
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
  if (!module) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (initialised.exchange(true)) {
    PyErr_SetString(PyExc_ImportError,
                    "the vok module may only be initialised once per interpreter process");
    return nullptr;
  }
  return guarded([&] {
    register_class<CalculatorClass>(module.get());
    register_function(module.get(), parse_profile_definition);
    register_class<ProfileClass>(module.get());
    register_function(module.get(), parse_fasta_definition);
    register_class<FastaClass>(module.get());
    register_function(module.get(), parse_transfac_definition);
    register_class<PwmMatrixClass>(module.get());
    return module.release();
  });
}
