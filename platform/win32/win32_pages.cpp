#include <windows.h>

#include "platform/pages.h"

namespace platform {

// Committed pages are backed by physical memory only once touched.
void* allocatePages(std::size_t bytes) {
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t /*bytes*/) {
    if (pages != nullptr)
        ::VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace platform
