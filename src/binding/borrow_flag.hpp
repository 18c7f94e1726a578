#pragma once
// The per-object borrow flag. It catches re-entrant use of one object on the
// interpreter thread (a user __float__ reading the object being assigned); it
// is only touched under the interpreter lock, so it is a plain counter.
#include <cstdint>

#include "errors.hpp"

namespace vok::binding {

struct BorrowFlag {
  static constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};
  std::uintptr_t state = 0;  // 0 free, n shared borrows, kExclusive one exclusive borrow
};

// Held while reading an object: getters, repr, copying an argument, evaluate.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state == BorrowFlag::kExclusive) {
      throw RaisedError(PyErrorKind::kRuntimeError, "Already mutably borrowed");
    }
    ++flag_.state;
  }
  ~SharedBorrow() { --flag_.state; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

// Held while changing an object: setters and the calculator's add methods.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state != 0) throw RaisedError(PyErrorKind::kRuntimeError, "Already borrowed");
    flag_.state = BorrowFlag::kExclusive;
  }
  ~ExclusiveBorrow() { flag_.state = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace vok::binding
