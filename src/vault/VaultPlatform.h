#pragma once

#include <QString>

#include <cstddef>

// The operating-system seam of the vault layer (src/vault/linux/ here).
namespace dorvex::vault::platform {

// Forces everything written through fd down to the storage medium.
[[nodiscard]] bool syncFileToMedium(int fd);

// Makes a new directory entry for filePath durable.
[[nodiscard]] bool syncParentDirectory(const QString& filePath);

// Opens path for reading only when it is a regular file (after following links), without
// ever blocking on a FIFO or device. Returns the descriptor, or -1.
[[nodiscard]] int openRegularFileForReading(const QString& path);

// Tells the system that fd will be read once from start to end (more read-ahead). Only a hint.
void adviseSequentialRead(int fd) noexcept;

// Starts writing [offset, offset + length) of fd to the device; with wait, returns once it is
// written. Only pacing: no durability is promised and failures are ignored.
void writeBack(int fd, qint64 offset, qint64 length, bool wait) noexcept;

// Closes a descriptor that was not handed over to a QFile.
void closeDescriptor(int fd);

// Call on a large buffer before its first touch: backing it with huge pages turns one page fault
// per 4 KiB into one per 2 MiB, which is most of the cost of a fresh buffer. Only a hint.
void adviseLargeBuffer(void* address, std::size_t length) noexcept;

}  // namespace dorvex::vault::platform
