#pragma once

#include <QString>
#include <QStringList>

class QApplication;

namespace dorvex::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;

// Moves the files of the two older data-folder layouts under `genericBase` into the
// current one. Returns the paths of files that had to stay behind (never deleted).
QStringList migrateLegacyFolders(const QString& genericBase);

// Proves the data folder writable with an atomic save of ".writecheck".
[[nodiscard]] bool probeDataFolderWritable(const QString& dataDir);

// The start-up known-answer test of the cryptography; replaceable so a test can make it fail.
extern bool (*cryptoSelfTest)();

// Start-up from the application object on: theme, self-test, migration, write probe,
// then the session. Returns the process exit code.
int startApplication(QApplication& app);

// The whole process: crash handler, hardening, logging, application object, start-up.
int runMain(int argc, char** argv);

}  // namespace dorvex::app
