#pragma once

#include "core/SecretStore.h"

#include <map>
#include <optional>
#include <utility>

namespace dorvex::test {

// In-memory secret store; each operation can be scripted to answer with a fixed status, for
// every call or only for the next few (a daemon that times out once and then catches up).
class MemorySecretStore final : public core::SecretStore {
public:
    enum Op { Fetch, List, Add, Update, Remove, OpCount };

    std::map<std::pair<QString, QString>, QByteArray> items;
    std::optional<core::SecretStatus> scripted[OpCount];
    int scriptedCalls[OpCount] = {-1, -1, -1, -1, -1};  // how many calls the script answers; -1: all
    int calls[OpCount] = {};

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

    core::SecretStatus fetch(const QString& service, const QString& account, crypto::SecureBuffer& secret) override {
        if (auto s = answer(Fetch)) return *s;
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
        if (auto s = answer(Add)) return *s;
        if (items.count({service, account})) return core::SecretStatus::DuplicateItem;
        items[{service, account}] = bytes(secret);
        return core::SecretStatus::Success;
    }
    core::SecretStatus update(const QString& service, const QString& account,
                              const crypto::SecureBuffer& secret) override {
        if (auto s = answer(Update)) return *s;
        if (!items.count({service, account})) return core::SecretStatus::ItemNotFound;
        items[{service, account}] = bytes(secret);
        return core::SecretStatus::Success;
    }
    core::SecretStatus remove(const QString& service, const QString& account) override {
        if (auto s = answer(Remove)) return *s;
        return items.erase({service, account}) ? core::SecretStatus::Success : core::SecretStatus::ItemNotFound;
    }

private:
    std::optional<core::SecretStatus> answer(Op op) {
        ++calls[op];
        if (!scripted[op] || scriptedCalls[op] == 0) return std::nullopt;
        if (scriptedCalls[op] > 0) --scriptedCalls[op];
        return scripted[op];
    }
    static QByteArray bytes(const crypto::SecureBuffer& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
    }
};

}  // namespace dorvex::test
