#pragma once

#include <QString>

namespace dorvex::core {

// Overwrites a file (0x00, 0xFF, random) in 64 KiB chunks, then deletes it.
class SecureErase {
public:
    static constexpr qint64 kChunkBytes = 65536;

    [[nodiscard]] static bool canErase(const QString& path);
    [[nodiscard]] static bool eraseFile(const QString& path);
};

}  // namespace dorvex::core
