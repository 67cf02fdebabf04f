// File descriptors, owned like every other handle by platform::UniqueHandle.
#pragma once

#include <unistd.h>

#include "platform/unique_handle.h"

namespace platform {
namespace posix {

struct FdTraits {
    using Handle = int;
    static Handle invalid() { return -1; }
    static void release(Handle fd) { ::close(fd); }
};

// Closes its descriptor on every path. Where the result of close() matters
// (a deferred write error), close what release() gives up.
using FdHandle = UniqueHandle<FdTraits>;

}  // namespace posix
}  // namespace platform
