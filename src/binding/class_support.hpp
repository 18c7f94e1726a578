#pragma once
// The machinery shared by every Python class of the module. A class is a
// record type plus a traits struct; its type object, getters, setters, text
// form and methods are generated here from short declarations, so each class
// file only states what is particular to it.
//
// Class rules: type name builtins.<Class>, not subclassable (no BASETYPE flag),
// no instance __dict__, no weak references, no docstrings, identity equality
// and hash (inherited from object), str equal to repr (no tp_str).
#include <cstddef>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "argument_binding.hpp"
#include "borrow_flag.hpp"
#include "conversions.hpp"
#include "errors.hpp"

namespace vok::binding {

// The memory layout of every instance: the borrow flag, then the record.
template <class Record>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;  // guards `record` against re-entrant use
  Record record;      // owned; never shared with another object
};

// Creates the type object; `slots` must end with {0, nullptr}.
PyTypeObject* create_type(const char* qualified_name, std::size_t instance_size, PyType_Slot* slots);

// Raises TypeError "No constructor defined", whatever the arguments.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

template <class Class>
using RecordOf = typename Class::Record;

template <class Class>
Instance<RecordOf<Class>>& instance_of(PyObject* self) {
  return *reinterpret_cast<Instance<RecordOf<Class>>*>(self);
}

// The receiver of a method: an instance of Class, or the conversion TypeError.
template <class Class>
Instance<RecordOf<Class>>& receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, Class::type())) throw_conversion_error(self, Class::kName);
  return instance_of<Class>(self);
}

// A new Python object owning `record`.
template <class Class>
PyRef wrap(RecordOf<Class> record) {
  PyTypeObject* type = Class::type();
  PyRef object = check_new(type->tp_alloc(type, 0));
  auto& instance = instance_of<Class>(object.get());
  new (&instance.borrow) BorrowFlag{};
  new (&instance.record) RecordOf<Class>(std::move(record));
  return object;
}

// A deep copy of the record of `object`, which must be an instance of Class.
template <class Class>
RecordOf<Class> copy_record(PyObject* object) {
  if (!PyObject_TypeCheck(object, Class::type())) throw_conversion_error(object, Class::kName);
  auto& instance = instance_of<Class>(object);
  SharedBorrow borrow(instance.borrow);
  return instance.record;
}

// A list of new objects, one per record, in order.
template <class Class, class Records>
PyRef wrap_list(Records&& records) {
  PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(records.size())));
  Py_ssize_t index = 0;
  for (auto& record : records) {
    PyList_SET_ITEM(list.get(), index++, wrap<Class>(std::move(record)).release());
  }
  return list;
}

template <class Class>
void destroy(PyObject* self) noexcept {
  auto& instance = instance_of<Class>(self);
  instance.record.~RecordOf<Class>();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class Class>
PyObject* repr(PyObject* self) noexcept {
  return guarded([&] {
    auto& instance = instance_of<Class>(self);
    SharedBorrow borrow(instance.borrow);
    return to_python(Class::text(instance.record)).release();
  });
}

// Getter and setter of a record field converted by the rule of its type.
template <class Class, auto Member>
PyObject* get_field(PyObject* self, void*) noexcept {
  return guarded([&] {
    auto& instance = instance_of<Class>(self);
    SharedBorrow borrow(instance.borrow);
    return to_python(instance.record.*Member).release();
  });
}

template <class Class, auto Member>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
  return guarded_status([&] {
    auto& instance = instance_of<Class>(self);
    ExclusiveBorrow borrow(instance.borrow);
    if (value == nullptr) throw RaisedError(PyErrorKind::kAttributeError, "can't delete attribute");
    using Field = std::remove_cvref_t<decltype(instance.record.*Member)>;
    Field converted = from_python<Field>(value);
    instance.record.*Member = std::move(converted);
  });
}

template <class Class, auto Member>
constexpr PyGetSetDef field(const char* name) {
  return {name, &get_field<Class, Member>, &set_field<Class, Member>, nullptr, nullptr};
}

constexpr PyGetSetDef kGetSetEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

// Methods in the fast-call-with-keywords convention: receiver check, borrow,
// argument binding, then Body(record, arguments) which converts and runs.
enum class Access { kShared, kExclusive };

template <Access kAccess>
struct BorrowFor;
template <>
struct BorrowFor<Access::kShared> { using type = SharedBorrow; };
template <>
struct BorrowFor<Access::kExclusive> { using type = ExclusiveBorrow; };

template <class Class, Access kAccess, const Signature& kSignature, std::size_t N, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) noexcept {
  return guarded([&] {
    auto& instance = receiver<Class>(self);
    typename BorrowFor<kAccess>::type borrow(instance.borrow);
    const auto arguments = bind<N>(kSignature, args, nargs, keyword_names);
    PyRef result = Body(instance.record, arguments);
    return result.release();
  });
}

template <const Signature& kSignature, std::size_t N, auto Body>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) noexcept {
  return guarded([&] {
    const auto arguments = bind<N>(kSignature, args, nargs, keyword_names);
    return Body(arguments).release();
  });
}

inline PyRef none() { return PyRef::borrow(Py_None); }

// A C function of any of the interpreter's calling conventions, as a method table entry.
template <class Function>
PyCFunction as_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vok::binding
