#include "SharedText.h"

namespace dfq {

// Out of line: a count the compiler cannot follow across copies would
// otherwise look to it like a use after the delete.
void SharedText::release() noexcept {
  if (--held->copies == 0) delete held;
  held = nullptr;
}

}  // namespace dfq
