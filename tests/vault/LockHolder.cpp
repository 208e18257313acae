// Holds the lock of a vault file until killed; for the cross-process lock test.
#include "vault/FileBlockStore.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    dorvex::vault::FileBlockStore store(QString::fromLocal8Bit(argv[1]));
    const bool locked = store.open();
    std::puts(locked ? "locked" : "failed");
    std::fflush(stdout);
    if (!locked)
        return 1;
    for (;;)
        ::pause();
}
