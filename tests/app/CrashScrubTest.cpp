#include "app/CrashHandler.h"
#include "crypto/SecureBuffer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

// A child registers a secret held in memory shared with the parent, is killed with
// SIGTERM, and the parent finds the secret wiped and the child ended by that signal.
TEST(CrashScrubber, SigtermWipesRegisteredSecretsThenTerminates)
{
    constexpr std::size_t kLen = 4096;
    auto* shared = static_cast<unsigned char*>(
        mmap(nullptr, kLen + 1, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    std::memset(shared, 0xA5, kLen);
    unsigned char& ready = shared[kLen];
    ready = 0;

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dorvex::app::installCrashHandler();
        if (dorvex::crypto::CrashScrubRegistry::registerRegion(shared, kLen) < 0)
            _exit(3);
        __atomic_store_n(&ready, 1, __ATOMIC_SEQ_CST);
        for (;;)
            pause();
    }
    while (__atomic_load_n(&ready, __ATOMIC_SEQ_CST) == 0)
        usleep(1000);
    ASSERT_EQ(shared[0], 0xA5);
    ASSERT_EQ(kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < kLen; ++i)
        nonZero += shared[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    munmap(shared, kLen + 1);
}
