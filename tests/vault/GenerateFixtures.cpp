// Rebuilds the frozen vault fixtures: generate_vault_fixtures <output directory>.
#include "VaultImageBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: generate_vault_fixtures <output directory>\n", stderr);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    for (int format : {4, 5}) {
        const auto bytes = dorvex::test::buildVaultImage(dorvex::test::fixtureSpec(format), dorvex::test::fixtureKey());
        QFile file(out.filePath(QStringLiteral("format%1.drvx").arg(format)));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
                static_cast<qint64>(bytes.size()))
            return 1;
    }
    return 0;
}
