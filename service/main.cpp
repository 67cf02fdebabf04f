#include <cstdio>
#include <cstdlib>

#include "proxy/user_info_workers.h"
#include "service/command_line.h"
#include "service/service_host.h"

int main(int argc, char** argv) {
    ServiceHost host;
    const int code = serviceEntry(host, argc, argv);
    // A user lookup that still runs (a user directory that hangs, say) would
    // meet what it uses being destroyed at exit: nobody waits for it, and the
    // process ends without running those destructors.
    if (UserInfoWorkers::tasksRunning() > 0) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
