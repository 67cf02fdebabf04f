#include "proxy/select_sets.h"

#include "platform/platform.h"
#include "support/logging.h"

namespace {

void fillSet(platform::SocketSet& set, const std::vector<SocketEntry>& list) {
    set.clear();
    // add() skips duplicates and stops taking sockets once the set is full;
    // the limits make the sets large enough, so a full one is a fault, and
    // said so.
    static MessageRateLimit g_fullLimit;
    for (const SocketEntry& entry : list) {
        if (!set.add(entry.sock) && set.size() == platform::SocketSet::kCapacity) {
            (LogMessage("SocksProxyServer::selectLoop()")
             << L", a select set is full, sockets left out of it: " << list.size() - set.size())
                .log(g_fullLimit);
            return;
        }
    }
}

}  // namespace

void SelectSets::allocate() {
    for (auto& set : m_sets)
        set = std::make_unique<platform::SocketSet>();
}

void SelectSets::release() {
    for (auto& list : m_lists)
        list = {};
    for (auto& set : m_sets)
        set.reset();
}

void SelectSets::clearLists() {
    for (auto& list : m_lists)
        list.clear();
}

void SelectSets::fill() {
    for (int kind = Read; kind <= Except; ++kind)
        fillSet(*m_sets[kind], m_lists[kind]);
}

bool SelectSets::empty() const {
    for (const auto& set : m_sets) {
        if (!set->empty())
            return false;
    }
    return true;
}

int SelectSets::wait(long timeoutMicros, int& ready) {
    std::array<platform::SocketSet*, 3> given{};
    for (int kind = Read; kind <= Except; ++kind)
        given[kind] = m_sets[kind]->empty() ? nullptr : m_sets[kind].get();
    const int error =
        platform::sockets().select(given[Read], given[Write], given[Except], timeoutMicros, ready);
    // select leaves only the ready sockets in the sets it was given; a set
    // that was not passed has none.
    for (int kind = Read; kind <= Except; ++kind) {
        if (given[kind] == nullptr)
            m_sets[kind]->clear();
    }
    return error;
}
