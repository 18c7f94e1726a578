#pragma once
// An internal failure: the current call is abandoned with a fixed message.
// Thrown by the scoring arithmetic (NaN guards), by the readers' consistency
// checks and by shape checks; the binding layer raises it in Python as
// PanicException carrying exactly what() as its message.
#include <stdexcept>

namespace vok {

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vok
