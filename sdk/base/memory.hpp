// Memory for large texts.
#pragma once

#include <cstddef>
#include <string>

namespace korvalle::memory {

// Reserves room for a text of up to `bytes` bytes that is written once, front to back. Room of
// tens of megabytes is also offered to the kernel for huge pages: the written part is then
// faulted in a few times instead of once for every 4 KiB, which otherwise costs about a fifth of
// writing a large document. Room never written costs no memory either way.
void reserve_large(std::string& text, std::size_t bytes);

}  // namespace korvalle::memory
