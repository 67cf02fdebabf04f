#include <sys/mman.h>

#include "platform/pages.h"

namespace platform {

void* allocatePages(std::size_t bytes) {
    void* pages =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void freePages(void* pages, std::size_t bytes) {
    if (pages != nullptr)
        ::munmap(pages, bytes);
}

}  // namespace platform
