#include "core/DurableSync.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace dorvex::core {

bool syncToMedium(int fd, bool dataOnly)
{
    if (fd < 0)
        return false;
#ifdef F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    int rc;
    do {
#ifdef __APPLE__
        (void)dataOnly;
        rc = ::fsync(fd);
#else
        rc = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace dorvex::core
