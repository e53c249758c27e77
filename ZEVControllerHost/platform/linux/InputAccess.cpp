#include "platform/linux/InputAccess.h"

#include <fcntl.h>
#include <unistd.h>

namespace jolto {

bool hasInputDeviceAccess(const char* path) {
    return deviceNodeOpens(path, O_WRONLY);
}

bool deviceNodeOpens(const char* path, int accessMode) {
    int fd = ::open(path, accessMode | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace jolto
