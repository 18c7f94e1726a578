// The hit class Vok: one reported site. Not a module attribute; its type is
// created when the first hit is made.
#include "classes.hpp"

namespace vok::binding {

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
      {Py_tp_getset, attributes}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<VokClass>(slots);
  return type;
}

}  // namespace vok::binding
