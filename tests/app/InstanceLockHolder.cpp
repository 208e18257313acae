// Holds a data folder's instance lock until it is killed, as a running Murravo would.
#include "app/InstanceLock.h"

#include <cstdio>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    dorvex::app::InstanceLock lock;
    if (lock.acquire(QString::fromLocal8Bit(argv[1])) != dorvex::app::InstanceLock::Outcome::Acquired) {
        std::puts("refused");
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
