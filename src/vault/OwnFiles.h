#pragma once

#include <QString>

namespace dorvex::vault {

// The path with every symbolic link and ".." resolved. A path that does not exist (yet), or a
// link that leads nowhere, keeps its own name below its resolved folder.
[[nodiscard]] QString resolvedFilePath(const QString& path);

// Whether path names the vault file at containerPath, its lock file, or anything in dataFolder,
// once links and ".." are resolved (a hard link to the vault file counts too). Importing such a
// file would erase it and exporting onto it would overwrite it. Either of the two may be empty.
[[nodiscard]] bool isOwnFile(const QString& path, const QString& containerPath, const QString& dataFolder);

}  // namespace dorvex::vault
