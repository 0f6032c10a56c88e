#include "sdk/base/exhaustion.hpp"

#include <cerrno>

namespace korvalle::files {

bool is_exhaustion(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

int unless_exhausted(int error) {
    if (is_exhaustion(error)) throw Exhausted(error);
    return error;
}

}  // namespace korvalle::files
