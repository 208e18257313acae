// Peak resident memory added by importing, reading or exporting one large file.
// Usage: bench_vault_rss prepare|import|read|export DIR MIB
#include "crypto/AeadCipher.h"
#include "vault/FileBlockStore.h"
#include "vault/VaultContainer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <sodium.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

using dorvex::vault::FileBlockStore;
using dorvex::vault::VaultContainer;

namespace {

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

dorvex::crypto::SecureBuffer key()
{
    dorvex::crypto::SecureBuffer k(32);
    std::memset(k.data(), 7, k.size());
    return k;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    const QString mode = QString::fromLatin1(argv[1]);
    const QDir dir(QString::fromLocal8Bit(argv[2]));
    const qint64 mib = QString::fromLatin1(argv[3]).toLongLong();
    const qint64 n = mib * 1024 * 1024;
    const QString source = dir.filePath(QStringLiteral("rss-source"));
    const QString vaultPath = dir.filePath(QStringLiteral("rss.drvx"));
    const QString machine = QStringLiteral("rss-machine");
    if (mode == QLatin1String("prepare")) {
        QFile f(source);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        std::vector<char> chunk(1 << 20);
        for (qint64 done = 0; done < n; done += chunk.size()) {
            randombytes_buf(chunk.data(), chunk.size());
            f.write(chunk.data(), static_cast<qint64>(chunk.size()));
        }
        return 0;
    }
    QFile::remove(vaultPath);
    auto vault = VaultContainer::create(std::make_unique<FileBlockStore>(vaultPath), key(), machine);
    if (!vault)
        return 1;
    long before = peakKiB();
    if (mode == QLatin1String("import")) {
        if (!vault->importFile(source, QStringLiteral("entry")))
            return 1;
    } else {
        // The entry is imported first; only the read or export is measured, in a fresh process.
        if (!vault->importFile(source, QStringLiteral("entry")))
            return 1;
        vault.reset();
        std::fflush(stdout);
        if (fork() == 0) {
            auto reopened = VaultContainer::open(std::make_unique<FileBlockStore>(vaultPath), key(), machine);
            const long childBefore = peakKiB();
            bool ok = false;
            if (mode == QLatin1String("export")) {
                const QString out = dir.filePath(QStringLiteral("rss-export"));
                ok = reopened->exportFile(QStringLiteral("entry"), out);
                QFile::remove(out);
            } else {
                ok = reopened->readFileBytes(QStringLiteral("entry")).has_value();
            }
            const long childAfter = peakKiB();
            std::printf("%s %lld MiB: extra peak RSS %.1f MiB (%.3f x n)\n", argv[1], static_cast<long long>(mib),
                        (childAfter - childBefore) / 1024.0, (childAfter - childBefore) * 1024.0 / double(n));
            std::fflush(stdout);
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        wait(&status);
        QFile::remove(vaultPath);
        return WEXITSTATUS(status);
    }
    const long after = peakKiB();
    std::printf("import %lld MiB: extra peak RSS %.1f MiB (%.3f x n)\n", static_cast<long long>(mib),
                (after - before) / 1024.0, (after - before) * 1024.0 / double(n));
    vault.reset();
    QFile::remove(vaultPath);
    return 0;
}
