// Owns one handle of any kind and releases it on every path: a descriptor, a
// token, a registry key, a service manager handle, a buffer the system
// allocated. The traits name the handle's type, its invalid value and how
// it is released:
//
//   struct FdTraits {
//       using Handle = int;
//       static Handle invalid() { return -1; }
//       static void release(Handle fd) { ::close(fd); }
//   };
//   UniqueHandle<FdTraits> fd(::open(...));
#pragma once

#include <utility>

namespace platform {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return m_handle; }
    bool valid() const { return m_handle != Traits::invalid(); }
    // For calls that hand a handle back through an out-argument: whatever
    // was held is released first.
    Handle* out() {
        reset();
        return &m_handle;
    }
    // Gives the handle up without releasing it.
    Handle release() { return std::exchange(m_handle, Traits::invalid()); }
    void reset(Handle handle = Traits::invalid()) {
        const Handle old = std::exchange(m_handle, handle);
        if (old != Traits::invalid())
            Traits::release(old);
    }

private:
    Handle m_handle = Traits::invalid();
};

}  // namespace platform
