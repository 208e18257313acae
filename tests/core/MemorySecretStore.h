#pragma once

#include "core/SecretStore.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace dorvex::test {

// In-memory secret store; each operation can be scripted to answer with a fixed status, for
// every call or only for the next few (a daemon that times out once and then catches up).
// It can also be locked, as a keyring is: then every call but a listing answers Locked, and
// unlock raises a prompt that waits for the test's answer (answerPrompt), on whatever thread
// unlock runs.
class MemorySecretStore final : public core::SecretStore {
public:
    enum Op { Fetch, List, Add, Update, Remove, Unlock, OpCount };

    std::map<std::pair<QString, QString>, QByteArray> items;
    std::optional<core::SecretStatus> scripted[OpCount];
    int scriptedCalls[OpCount] = {-1, -1, -1, -1, -1, -1};  // how many calls the script answers; -1: all
    std::atomic<int> calls[OpCount] = {};
    std::atomic<bool> locked = false;
    QString unlockedAccount;  // the account of the last unlock call

    void script(Op op, core::SecretStatus status, int times = -1) {
        scripted[op] = status;
        scriptedCalls[op] = times;
    }
    void scriptAll(core::SecretStatus status) {
        for (int op = 0; op < OpCount; ++op) script(static_cast<Op>(op), status);
    }
    void unscript() {
        for (int op = 0; op < OpCount; ++op) {
            scripted[op].reset();
            scriptedCalls[op] = -1;
        }
    }

    // The user's answer to the next prompt: Success unlocks, anything else leaves the store locked.
    void answerPrompt(core::SecretStatus reply) {
        {
            std::lock_guard<std::mutex> lock(promptMutex_);
            promptReply_ = reply;
        }
        promptAnswered_.notify_all();
    }
    [[nodiscard]] bool promptWaiting() {
        std::lock_guard<std::mutex> lock(promptMutex_);
        return promptWaiting_;
    }

    core::SecretStatus fetch(const QString& service, const QString& account, crypto::SecureBuffer& secret) override {
        if (auto s = answer(Fetch, true)) return *s;
        const auto it = items.find({service, account});
        if (it == items.end()) return core::SecretStatus::ItemNotFound;
        secret = crypto::SecureBuffer(reinterpret_cast<const unsigned char*>(it->second.constData()),
                                      static_cast<std::size_t>(it->second.size()));
        return core::SecretStatus::Success;
    }
    core::SecretStatus listAccounts(const QString& service, QStringList& accounts) override {
        accounts.clear();
        if (auto s = answer(List)) return *s;
        for (const auto& [key, value] : items) {
            if (key.first == service) accounts.append(key.second);
        }
        return accounts.isEmpty() ? core::SecretStatus::ItemNotFound : core::SecretStatus::Success;
    }
    core::SecretStatus add(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        if (auto s = answer(Add, true)) return *s;
        if (items.count({service, account})) return core::SecretStatus::DuplicateItem;
        items[{service, account}] = bytes(secret);
        return core::SecretStatus::Success;
    }
    core::SecretStatus update(const QString& service, const QString& account,
                              const crypto::SecureBuffer& secret) override {
        if (auto s = answer(Update, true)) return *s;
        if (!items.count({service, account})) return core::SecretStatus::ItemNotFound;
        items[{service, account}] = bytes(secret);
        return core::SecretStatus::Success;
    }
    core::SecretStatus remove(const QString& service, const QString& account) override {
        if (auto s = answer(Remove, true)) return *s;
        return items.erase({service, account}) ? core::SecretStatus::Success : core::SecretStatus::ItemNotFound;
    }
    core::SecretStatus unlock(const QString&, const QString& account, const core::PromptWatcher& watcher) override {
        unlockedAccount = account;
        if (auto s = answer(Unlock)) return *s;
        if (!locked) return core::SecretStatus::Success;
        std::unique_lock<std::mutex> lock(promptMutex_);
        promptWaiting_ = true;
        if (watcher) watcher(true);
        promptAnswered_.wait(lock, [this] { return promptReply_.has_value(); });
        const core::SecretStatus reply = *promptReply_;
        promptReply_.reset();
        promptWaiting_ = false;
        if (watcher) watcher(false);
        if (reply == core::SecretStatus::Success) locked = false;
        return reply;
    }

private:
    std::optional<core::SecretStatus> answer(Op op, bool lockable = false) {
        ++calls[op];
        if (scripted[op] && scriptedCalls[op] != 0) {
            if (scriptedCalls[op] > 0) --scriptedCalls[op];
            return scripted[op];
        }
        if (lockable && locked) return core::SecretStatus::Locked;
        return std::nullopt;
    }

    std::mutex promptMutex_;
    std::condition_variable promptAnswered_;
    std::optional<core::SecretStatus> promptReply_;
    bool promptWaiting_ = false;
    static QByteArray bytes(const crypto::SecureBuffer& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
    }
};

}  // namespace dorvex::test
