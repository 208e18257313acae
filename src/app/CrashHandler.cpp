#include "app/CrashHandler.h"

#include "crypto/SecureBuffer.h"

#include <csignal>

namespace dorvex::app {

namespace {

alignas(16) char g_alternateStack[0x10000];

void onFatalSignal(int s)
{
    crypto::CrashScrubRegistry::scrubAll();
    std::signal(s, SIG_DFL);
    std::raise(s);
}

}  // namespace

void installCrashHandler()
{
    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof g_alternateStack;
    stack.ss_flags = 0;
    sigaltstack(&stack, nullptr);

    struct sigaction action{};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (int s : {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE, SIGTERM, SIGINT})
        sigaction(s, &action, nullptr);
}

}  // namespace dorvex::app
