#pragma once

namespace dorvex::core {

// Flushes a descriptor's writes down to the storage device (F_FULLFSYNC where the system has
// it, since plain fsync there only reaches the drive's cache). dataOnly skips metadata that is
// not needed to read the data back (fdatasync). Retries on EINTR; false on any other failure.
[[nodiscard]] bool syncToMedium(int fd, bool dataOnly = false);

}  // namespace dorvex::core
