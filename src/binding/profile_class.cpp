// The Profile class: the cut-offs of one matrix.
#include "classes.hpp"

namespace vok::binding {

PyTypeObject* ProfileClass::type() {
  static PyGetSetDef attributes[] = {
      field<ProfileClass, &ProfileRecord::id>("id"),
      field<ProfileClass, &ProfileRecord::css>("css"),
      field<ProfileClass, &ProfileRecord::mss>("mss"),
      kGetSetEnd,
  };
  static PyType_Slot slots[] = {
      dealloc_slot<ProfileClass>(), repr_slot<ProfileClass>(), no_constructor_slot(),
      {Py_tp_getset, attributes}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<ProfileClass>(slots);
  return type;
}

}  // namespace vok::binding
