#include "common/nan_guard.hpp"

#include "scoring/internal_failure.hpp"

namespace vok::detail {

void fail_nan(const char* message) { throw InternalFailure(message); }

}  // namespace vok::detail
