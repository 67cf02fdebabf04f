// The byte buffers of a pair. Their bytes are not initialised, and a buffer
// of relay size lives in pages of its own, so that a pair holds physical
// memory only for the bytes actually relayed through it and gives it back
// when it ends. A few freed buffers of relay size are kept for the next
// pairs, which spares the system calls when connections come and go fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

// 64 KiB plus 256 bytes.
constexpr std::size_t kRelayBufferSize = 65792;

void* allocateRelayBytes(std::size_t bytes);
void freeRelayBytes(void* p, std::size_t bytes);

template <typename T>
struct RelayAllocator {
    using value_type = T;

    RelayAllocator() = default;
    template <typename U>
    RelayAllocator(const RelayAllocator<U>&) {}

    T* allocate(std::size_t n) { return static_cast<T*>(allocateRelayBytes(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { freeRelayBytes(p, n * sizeof(T)); }

    // Growing a buffer leaves the new bytes as they are: nothing reads a
    // byte of a relay buffer before it has been written.
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const RelayAllocator&, const RelayAllocator&) { return true; }
    friend bool operator!=(const RelayAllocator&, const RelayAllocator&) { return false; }
};

using RelayBuffer = std::vector<std::uint8_t, RelayAllocator<std::uint8_t>>;
