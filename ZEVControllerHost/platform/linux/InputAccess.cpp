#include "platform/linux/InputAccess.h"

#include <fcntl.h>
#include <unistd.h>

namespace jolto {

bool hasInputDeviceAccess(const char* path) {
    // Opening rather than access(2): it also answers for ACLs granted to the session and for
    // a node that exists but whose module refuses to load.
    int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace jolto
