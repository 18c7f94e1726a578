// The Fasta class: a named letter sequence as read from FASTA text.
#include "classes.hpp"

namespace vok::binding {

PyTypeObject* FastaClass::type() {
  static PyGetSetDef attributes[] = {
      field<FastaClass, &FastaRecord::name>("name"),
      field<FastaClass, &FastaRecord::seq>("seq"),
      kGetSetEnd,
  };
  static PyType_Slot slots[] = {
      dealloc_slot<FastaClass>(), repr_slot<FastaClass>(), no_constructor_slot(),
      {Py_tp_getset, attributes}, {0, nullptr},
  };
  // Created on first use; a failed creation is tried again by the next use.
  static PyTypeObject* const type = create_class_type<FastaClass>(slots);
  return type;
}

}  // namespace vok::binding
