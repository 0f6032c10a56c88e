// Running out of descriptors or memory (EMFILE, ENFILE, ENOMEM) says nothing about the file being
// read: reporting it as missing would turn the failure into a shorter answer given as a success.
// Such a failure throws Exhausted instead, as running out of memory throws std::bad_alloc, and
// ends the whole operation. It is the one exception that crosses the layers.
#pragma once

#include <system_error>

namespace korvalle::files {

// The process ran out of descriptors or memory while reading.
struct Exhausted : std::system_error {
    explicit Exhausted(int error) : std::system_error(error, std::generic_category()) {}
};

// True for EMFILE, ENFILE and ENOMEM.
bool is_exhaustion(int error);
// Throws Exhausted when error is EMFILE, ENFILE or ENOMEM; returns error otherwise.
int unless_exhausted(int error);

}  // namespace korvalle::files
