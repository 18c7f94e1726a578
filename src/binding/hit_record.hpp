#pragma once
// The record of the hit class Vok. An evaluation makes one per site, often
// millions, so the record is kept small: the sequence and matrix names are
// str objects shared by every hit that carries them (the getters build a
// fresh str, so sharing cannot be observed), and the fields are ordered to
// avoid padding.
#include <cstdint>
#include <string_view>

#include "conversions.hpp"
#include "py_ref.hpp"

namespace vok::binding {

// A name held as an exact str with a UTF-8 form; copies share the object.
class SharedText {
 public:
  explicit SharedText(PyRef text) : text_(std::move(text)) {}
  SharedText(const SharedText& other) : text_(PyRef::borrow(other.text_.get())) {}
  SharedText(SharedText&&) noexcept = default;
  SharedText& operator=(SharedText&&) noexcept = default;
  SharedText& operator=(const SharedText& other) { return *this = SharedText(other); }

  std::string_view view() const { return text_in_place(text_.get()); }

 private:
  PyRef text_;  // never null; an exact str whose UTF-8 form exists
};

// One reported site.
struct HitRecord {
  SharedText sequence;    // name of the scanned sequence
  SharedText matrix;      // name of the matrix that found the site
  std::uint64_t pos = 0;  // forward-strand index of the core word's leftmost base
  std::uint64_t len = 0;  // matrix length L
  float css = 0;          // core similarity score
  float mss = 0;          // matrix similarity score
  bool strand = true;     // true: forward record; false: reverse record
};

// Conversions of the generic getter and setter: the getter builds a fresh str
// (each read returns a new object); the setter converts as for any text and
// keeps an exact str of it.
inline PyRef to_python(const SharedText& text) { return to_python(text.view()); }
template <>
inline SharedText from_python<SharedText>(PyObject* object) {
  const std::string_view text = text_in_place(object);  // the text conversion's errors
  if (PyUnicode_CheckExact(object)) return SharedText(PyRef::borrow(object));
  return SharedText(to_python(text));
}

}  // namespace vok::binding
