#pragma once

#include <QString>

namespace dorvex::core {

// The per-user data folder (created with its parents); every local file lives directly in it.
[[nodiscard]] QString appDataDir();

}  // namespace dorvex::core
