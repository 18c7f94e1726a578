// The hit class Vok: one reported site. Not a module attribute; its type is
// created when the first hit is made.
#include "classes.hpp"
#include "object_slabs.hpp"

namespace vok::binding {
namespace {

// Hits outlive the module's last use only at process exit, when no memory
// needs returning: the slabs are never destroyed.
ObjectSlabs& hit_slabs() {
  static ObjectSlabs* const slabs = new ObjectSlabs(sizeof(Instance<HitRecord>));
  return *slabs;
}

PyObject* allocate_hit(PyTypeObject* type, Py_ssize_t) noexcept {
  void* memory = hit_slabs().allocate();
  if (memory == nullptr) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

void free_hit(void* object) noexcept { hit_slabs().release(object); }

}  // namespace

PyTypeObject* VokClass::type() {
  static PyGetSetDef attributes[] = {
      field<VokClass, &HitRecord::sequence>("sequence"),
      field<VokClass, &HitRecord::matrix>("matrix"),
      field<VokClass, &HitRecord::pos>("pos"),
      field<VokClass, &HitRecord::strand>("strand"),
      field<VokClass, &HitRecord::css>("css"),
      field<VokClass, &HitRecord::mss>("mss"),
      field<VokClass, &HitRecord::len>("len"),
      kGetSetEnd,
  };
  static PyType_Slot slots[] = {
      dealloc_slot<VokClass>(), repr_slot<VokClass>(), no_constructor_slot(),
      {Py_tp_getset, attributes}, {Py_tp_alloc, reinterpret_cast<void*>(&allocate_hit)},
      {Py_tp_free, reinterpret_cast<void*>(&free_hit)}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<VokClass>(slots);
  return type;
}

}  // namespace vok::binding
