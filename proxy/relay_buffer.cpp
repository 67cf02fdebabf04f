#include "proxy/relay_buffer.h"

#include <mutex>

#include "platform/pages.h"

namespace {

// Smaller buffers (SOCKS messages a test builds, say) come from the heap.
constexpr std::size_t kPagedFrom = 16 * 1024;
// At most this many freed relay-size buffers wait for reuse: enough for a
// burst of connections, little memory when all of them have ended.
constexpr std::size_t kSpareLimit = 64;

class SpareBuffers {
public:
    void* take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare.empty())
            return nullptr;
        void* p = m_spare.back();
        m_spare.pop_back();
        return p;
    }
    bool keep(void* p) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare.size() >= kSpareLimit)
            return false;
        m_spare.push_back(p);
        return true;
    }
    ~SpareBuffers() {
        for (void* p : m_spare)
            platform::freePages(p, kRelayBufferSize);
    }

private:
    std::mutex m_mutex;
    std::vector<void*> m_spare;
};

SpareBuffers& spareBuffers() {
    static SpareBuffers g_spare;
    return g_spare;
}

}  // namespace

void* allocateRelayBytes(std::size_t bytes) {
    if (bytes < kPagedFrom)
        return ::operator new(bytes);
    if (bytes == kRelayBufferSize) {
        if (void* p = spareBuffers().take())
            return p;
    }
    void* p = platform::allocatePages(bytes);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void freeRelayBytes(void* p, std::size_t bytes) {
    if (bytes < kPagedFrom) {
        ::operator delete(p);
        return;
    }
    if (bytes == kRelayBufferSize && spareBuffers().keep(p))
        return;
    platform::freePages(p, bytes);
}
