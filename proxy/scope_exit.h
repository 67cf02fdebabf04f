// Runs a cleanup action when the enclosing scope ends, on every path.
#pragma once

#include <utility>

template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : m_action(std::move(action)) {}
    ~ScopeExit() {
        if (m_active)
            m_action();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void release() { m_active = false; }

private:
    Action m_action;
    bool m_active = true;
};
