// Memory straight from the system, in whole pages: it takes physical memory
// only where it is written, and goes back to the system as soon as it is
// freed. Not a seam to fake: tests use the real thing.
#pragma once

#include <cstddef>

namespace platform {

// Null when the system refuses.
void* allocatePages(std::size_t bytes);
// bytes as given to allocatePages.
void freePages(void* pages, std::size_t bytes);

}  // namespace platform
