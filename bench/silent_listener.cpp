// A gateway address that never answers, as a dead host or a full one looks:
// a listener whose accept queue is full and is never emptied, so the kernel
// drops every further SYN. Listens on ADDRESS:PORT (0 picks one), writes the
// port to PORT_FILE once it is silent, and waits to be killed.
//   vc-silent-listener ADDRESS PORT PORT_FILE
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/common/tool_net.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: vc-silent-listener ADDRESS PORT PORT_FILE\n");
        return 2;
    }
    const std::string address = argv[1];
    auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    std::string error;
    // A backlog of 0 holds one connection; that one fills it.
    toolnet::Fd listener = toolnet::listenOn(address, port, 0, error);
    if (!listener.valid()) {
        std::fprintf(stderr, "vc-silent-listener: %s\n", error.c_str());
        return 1;
    }
    toolnet::Fd filler = toolnet::connectTo(address, port, error);
    if (!filler.valid() || !toolnet::writePortFile(argv[3], port)) {
        std::fprintf(stderr, "vc-silent-listener: %s\n", error.c_str());
        return 1;
    }
    for (;;)
        ::pause();
}
