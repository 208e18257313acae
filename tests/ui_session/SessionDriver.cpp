// A whole program start driven by the pilot, in a process of its own, for tests that kill it.
//   session_driver DATA_DIR work   signs in (or creates the account), then imports and runs
//                                  the rollback timer's work until it is killed
//   session_driver DATA_DIR check  signs in and reports what the start showed
// Prints "VAULT n" (entries listed) or "NOVAULT", then "MSG title" / "STUCK text" lines.
#include "Pilot.h"

#include "crypto/PasswordHasher.h"

#include <QApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

extern "C" const dorvex::crypto::detail::ArgonCost* murravoTestArgonCost()
{
    static const dorvex::crypto::detail::ArgonCost cheap{1, 8192};
    return &cheap;
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Murravo"));
    const QString dir = QFile::decodeName(argv[1]);
    const bool work = qstrcmp(argv[2], "work") == 0;

    dorvex::test::Pilot pilot(QStringLiteral("Correct-Horse-42!"));
    pilot.inWindow = [work, &dir](MainWindow* window) {
        std::printf("VAULT %d\n", static_cast<int>(window->container()->listEntries().size()));
        std::fflush(stdout);
        for (int i = 0; work; ++i) {
            const QString name = QStringLiteral("file-%1.txt").arg(i);
            const QString source = dir + QStringLiteral("/../") + name;
            QFile file(source);
            if (file.open(QIODevice::WriteOnly))
                file.write("contents of " + name.toUtf8());
            file.close();
            (void)window->container()->importFile(source, name);
            QFile::remove(source);
            if (i % 3 == 0)
                window->onRollbackGuardAdvanceTimeout();
        }
    };
    const int rc = pilot.start(dir);
    if (!pilot.windowHadVault)
        std::puts("NOVAULT");
    for (const QString& title : pilot.messages)
        std::printf("MSG %s\n", qPrintable(title));
    for (const QString& text : pilot.stuck)
        std::printf("STUCK %s\n", qPrintable(text));
    return rc;
}
