// Advice to the OS about memory the caller already holds.
#pragma once

#include <cstddef>

namespace plat {

// Makes the pages of [block, block + length) present and writable at once,
// as one request, instead of one fault per page on first touch: for a large
// result about to be written from start to end. The block stays the
// caller's (a malloc block stays free()-able) and its contents are
// untouched; where the OS cannot do it, nothing happens and the pages fault
// in as they are written.
void prefaultForWrite(void* block, size_t length);

}  // namespace plat
