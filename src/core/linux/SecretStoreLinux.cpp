#include "core/SecretStore.h"

#include <QDebug>

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dorvex::core {

namespace {

// A prompt that nobody answers or a wedged provider would otherwise block the caller for good.
constexpr std::chrono::seconds kCallLimit{10};
constexpr char kSecretsBusName[] = "org.freedesktop.secrets";

const SecretSchema* schema() {
    static const SecretSchema s = {"com.murravo.LocalIntegrityKey",
                                   SECRET_SCHEMA_NONE,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

// Cancels the wrapped call when it outlives kCallLimit.
class BoundedCall {
public:
    BoundedCall() : cancellable_(g_cancellable_new()), watchdog_([this] { watch(); }) {}
    ~BoundedCall() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        watchdog_.join();
        g_object_unref(cancellable_);
    }
    BoundedCall(const BoundedCall&) = delete;
    BoundedCall& operator=(const BoundedCall&) = delete;

    GCancellable* cancellable() const { return cancellable_; }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, kCallLimit, [this] { return done_; })) g_cancellable_cancel(cancellable_);
    }

    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watchdog_;
};

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() {
        if (error) g_error_free(error);
    }
};

// True when a session bus answers and a Secret Service provider owns or can be started on it.
bool serviceReachable(GCancellable* cancellable) {
    ErrorHolder err;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &err.error);
    if (!bus) return false;
    bool reachable = false;
    GVariant* owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", kSecretsBusName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, cancellable,
        nullptr);
    if (owned) {
        gboolean hasOwner = FALSE;
        g_variant_get(owned, "(b)", &hasOwner);
        reachable = hasOwner != FALSE;
        g_variant_unref(owned);
    }
    if (!reachable) {
        GVariant* names = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListActivatableNames",
            nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, cancellable, nullptr);
        if (names) {
            GVariantIter* iter = nullptr;
            const gchar* name = nullptr;
            g_variant_get(names, "(as)", &iter);
            while (g_variant_iter_loop(iter, "&s", &name)) {
                if (g_strcmp0(name, kSecretsBusName) == 0) reachable = true;
            }
            g_variant_iter_free(iter);
            g_variant_unref(names);
        }
    }
    g_object_unref(bus);
    return reachable;
}

void logError(const char* operation, const GError* error) {
    qWarning("SecretStore: %s failed: %s", operation, error ? error->message : "timed out");
}

class SecretServiceStore final : public SecretStore {
public:
    SecretStatus fetch(const QString& service, const QString& account, crypto::SecureBuffer& secret) override {
        BoundedCall call;
        if (!serviceReachable(call.cancellable())) return SecretStatus::ItemNotFound;
        const QByteArray s = service.toUtf8(), a = account.toUtf8();
        ErrorHolder err;
        SecretValue* value = secret_password_lookup_binary_sync(schema(), call.cancellable(), &err.error, "service",
                                                                s.constData(), "account", a.constData(), nullptr);
        if (err.error) {
            logError("lookup", err.error);
            return SecretStatus::Failed;
        }
        if (!value) return SecretStatus::ItemNotFound;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        secret = crypto::SecureBuffer(reinterpret_cast<const unsigned char*>(bytes), length);
        secret_value_unref(value);
        return SecretStatus::Success;
    }

    SecretStatus listAccounts(const QString& service, QStringList& accounts) override {
        accounts.clear();
        BoundedCall call;
        if (!serviceReachable(call.cancellable())) return SecretStatus::ItemNotFound;
        const QByteArray s = service.toUtf8();
        ErrorHolder err;
        GList* items = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, call.cancellable(), &err.error,
                                                   "service", s.constData(), nullptr);
        if (err.error) {
            logError("search", err.error);
            return SecretStatus::Failed;
        }
        for (GList* it = items; it; it = it->next) {
            GHashTable* attributes = secret_retrievable_get_attributes(SECRET_RETRIEVABLE(it->data));
            if (const auto* name = static_cast<const char*>(g_hash_table_lookup(attributes, "account"))) {
                accounts.append(QString::fromUtf8(name));
            }
            g_hash_table_unref(attributes);
        }
        g_list_free_full(items, g_object_unref);
        return accounts.isEmpty() ? SecretStatus::ItemNotFound : SecretStatus::Success;
    }

    SecretStatus add(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        crypto::SecureBuffer existing;
        const SecretStatus found = fetch(service, account, existing);
        if (found == SecretStatus::Success) return SecretStatus::DuplicateItem;
        if (found != SecretStatus::ItemNotFound) return found;
        return store(service, account, secret);
    }

    SecretStatus update(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        crypto::SecureBuffer existing;
        const SecretStatus found = fetch(service, account, existing);
        if (found != SecretStatus::Success) return found;
        return store(service, account, secret);
    }

    SecretStatus remove(const QString& service, const QString& account) override {
        BoundedCall call;
        if (!serviceReachable(call.cancellable())) return SecretStatus::ItemNotFound;
        const QByteArray s = service.toUtf8(), a = account.toUtf8();
        ErrorHolder err;
        const gboolean removed = secret_password_clear_sync(schema(), call.cancellable(), &err.error, "service",
                                                            s.constData(), "account", a.constData(), nullptr);
        if (err.error) {
            logError("clear", err.error);
            return SecretStatus::Failed;
        }
        return removed ? SecretStatus::Success : SecretStatus::ItemNotFound;
    }

private:
    static SecretStatus store(const QString& service, const QString& account, const crypto::SecureBuffer& secret) {
        BoundedCall call;
        if (!serviceReachable(call.cancellable())) return SecretStatus::Failed;
        const QByteArray s = service.toUtf8(), a = account.toUtf8();
        const QByteArray label = QByteArrayLiteral("Murravo local integrity key (") + a + ')';
        SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                              static_cast<gssize>(secret.size()), "application/octet-stream");
        ErrorHolder err;
        const gboolean stored = secret_password_store_binary_sync(
            schema(), SECRET_COLLECTION_DEFAULT, label.constData(), value, call.cancellable(), &err.error, "service",
            s.constData(), "account", a.constData(), nullptr);
        secret_value_unref(value);
        if (!stored) {
            logError("store", err.error);
            return SecretStatus::Failed;
        }
        return SecretStatus::Success;
    }
};

}  // namespace

std::unique_ptr<SecretStore> makePlatformSecretStore() { return std::make_unique<SecretServiceStore>(); }

}  // namespace dorvex::core
