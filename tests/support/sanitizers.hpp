// How much slower a sanitizer build runs: the tests that wait for a server process (its serving
// line, its stop) give it that many times their limits rather than skip. A limit only bounds how
// long a test waits for what must come; none of them measures speed.
#pragma once

#include <chrono>

namespace korvalle::testing {

#if defined(KORVALLE_THREAD_SANITIZED)
inline constexpr int sanitizer_slowdown = 5;  // ThreadSanitizer: every memory access checked
#elif defined(KORVALLE_SANITIZED)
inline constexpr int sanitizer_slowdown = 3;  // AddressSanitizer and UndefinedBehaviorSanitizer
#else
inline constexpr int sanitizer_slowdown = 1;
#endif

// A limit for the build under test.
constexpr std::chrono::milliseconds scaled(std::chrono::milliseconds limit) { return limit * sanitizer_slowdown; }

}  // namespace korvalle::testing
