#include "platform/posix/tcp_socket_entry.h"

namespace platform {
namespace posix {

std::uint32_t mibStateFromLinux(unsigned linuxState) {
    // Indexed by the kernel's TCP_ESTABLISHED (1) .. TCP_NEW_SYN_RECV (12).
    static const std::uint32_t kMib[] = {
        1,   // 0: not a state
        5,   // ESTABLISHED
        3,   // SYN_SENT
        4,   // SYN_RECV
        6,   // FIN_WAIT1
        7,   // FIN_WAIT2
        11,  // TIME_WAIT
        1,   // CLOSE
        8,   // CLOSE_WAIT
        10,  // LAST_ACK
        2,   // LISTEN
        9,   // CLOSING
        4,   // NEW_SYN_RECV: a connection request not yet accepted
    };
    return linuxState < sizeof kMib / sizeof kMib[0] ? kMib[linuxState] : 1;
}

}  // namespace posix
}  // namespace platform
