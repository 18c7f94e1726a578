#pragma once
// The Python classes of the module: each names its record, its type object
// (created on first use and kept for the life of the process) and its text form.
#include "class_support.hpp"
#include "hit_record.hpp"
#include "engine/calculator_state.hpp"
#include "parser/fasta_reader.hpp"
#include "scoring/pwm_matrix.hpp"
#include "text_forms.hpp"
#include "value_records.hpp"

namespace vok::binding {

struct FastaClass {
  using Record = FastaRecord;
  static constexpr const char* kName = "Fasta";
  static constexpr const char* kTypeName = "builtins.Fasta";
  static PyTypeObject* type();
  static std::string text(const Record& record) { return fasta_text(record); }
};

struct ProfileClass {
  using Record = ProfileRecord;
  static constexpr const char* kName = "Profile";
  static constexpr const char* kTypeName = "builtins.Profile";
  static PyTypeObject* type();
  static std::string text(const Record& record) { return profile_text(record); }
};

struct PwmMatrixClass {
  using Record = PwmMatrix;
  static constexpr const char* kName = "PwmMatrix";
  static constexpr const char* kTypeName = "builtins.PwmMatrix";
  static PyTypeObject* type();
  static std::string text(const Record& record) { return pwm_matrix_text(record); }
};

struct VokClass {
  using Record = HitRecord;
  static constexpr const char* kName = "Vok";
  static constexpr const char* kTypeName = "builtins.Vok";
  static PyTypeObject* type();
  static std::string text(const Record& record) {
    return hit_text(record.sequence.view(), record.matrix.view(), record.pos, record.strand, record.css, record.mss,
                    record.len);
  }
};

struct CalculatorClass {
  using Record = CalculatorState;
  static constexpr const char* kName = "VokCalculator";
  static constexpr const char* kTypeName = "builtins.VokCalculator";
  static PyTypeObject* type();
  static std::string text(const Record& record) { return calculator_text(record); }
};

// Creates a class's type object, or prints the interpreter's error and throws
// the internal failure "An error occurred while initializing class <name>".
PyTypeObject* create_class_type(const char* name, const char* type_name, std::size_t instance_size,
                                PyType_Slot* slots);

template <class Class>
PyTypeObject* create_class_type(PyType_Slot* slots) {
  return create_class_type(Class::kName, Class::kTypeName, sizeof(Instance<typename Class::Record>), slots);
}

// The slots every class has: deallocation and the text form.
template <class Class>
PyType_Slot dealloc_slot() { return {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<Class>)}; }
template <class Class>
PyType_Slot repr_slot() { return {Py_tp_repr, reinterpret_cast<void*>(&repr<Class>)}; }
inline PyType_Slot no_constructor_slot() { return {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)}; }

// The module functions of the readers.
extern PyMethodDef parse_fasta_definition;
extern PyMethodDef parse_transfac_definition;
extern PyMethodDef parse_profile_definition;

}  // namespace vok::binding
