#include "core/SecretStore.h"

#include <QDebug>

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
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

// Releases a GObject (service, collection, item) where it goes out of scope.
template <typename T>
struct Ref {
    T* object = nullptr;
    ~Ref() {
        if (object) g_object_unref(object);
    }
    explicit operator bool() const { return object != nullptr; }
};

struct ItemList {
    GList* items = nullptr;
    ~ItemList() { g_list_free_full(items, g_object_unref); }
};

struct Attributes {
    GHashTable* table;
    Attributes(const QByteArray& service, const QByteArray& account)
        : table(secret_attributes_build(schema(), "service", service.constData(), "account", account.constData(),
                                        nullptr)) {}
    ~Attributes() { g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
};

void logError(const char* operation, const GError* error, const char* otherwise = "no answer in time") {
    qWarning("SecretStore: %s failed: %s", operation, error ? error->message : otherwise);
}

enum class Reach { Yes, No, Unknown };

bool cancelledOrTimedOut(const GError* error) {
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
           g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
}

// Yes when a session bus answers and a Secret Service provider owns or can be started on it; No
// only when the bus itself says so (or there is no bus at all); Unknown when it did not answer.
Reach serviceReachable(GCancellable* cancellable) {
    ErrorHolder err;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &err.error);
    if (!bus) return cancelledOrTimedOut(err.error) ? Reach::Unknown : Reach::No;
    Reach reach = Reach::Unknown;
    GVariant* owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", kSecretsBusName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, cancellable,
        nullptr);
    if (owned) {
        gboolean hasOwner = FALSE;
        g_variant_get(owned, "(b)", &hasOwner);
        g_variant_unref(owned);
        if (hasOwner) {
            reach = Reach::Yes;
        } else if (GVariant* names = g_dbus_connection_call_sync(
                       bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000,
                       cancellable, nullptr)) {
            reach = Reach::No;
            GVariantIter* iter = nullptr;
            const gchar* name = nullptr;
            g_variant_get(names, "(as)", &iter);
            while (g_variant_iter_loop(iter, "&s", &name)) {
                if (g_strcmp0(name, kSecretsBusName) == 0) reach = Reach::Yes;
            }
            g_variant_iter_free(iter);
            g_variant_unref(names);
        }
    }
    g_object_unref(bus);
    return reach;
}

// Connects to the provider; a failure is a status to return, Success means `service` is set.
SecretStatus connect(GCancellable* cancellable, Ref<SecretService>& service) {
    switch (serviceReachable(cancellable)) {
    case Reach::No:
        return SecretStatus::Unavailable;
    case Reach::Unknown:
        logError("reaching the Secret Service", nullptr);
        return SecretStatus::Failed;
    case Reach::Yes:
        break;
    }
    ErrorHolder err;
    service.object = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, &err.error);
    if (!service) {
        logError("connect", err.error);
        return SecretStatus::Failed;
    }
    return SecretStatus::Success;
}

// Every item of this service and account, locked or not. Success with none is a definite answer.
SecretStatus search(SecretService* service, const QByteArray& s, const QByteArray& a, SecretSearchFlags flags,
                    GCancellable* cancellable, ItemList& found) {
    const Attributes attributes(s, a);
    ErrorHolder err;
    found.items = secret_service_search_sync(service, schema(), attributes.table,
                                             static_cast<SecretSearchFlags>(flags | SECRET_SEARCH_ALL), cancellable,
                                             &err.error);
    if (err.error) {
        logError("search", err.error);
        return SecretStatus::Failed;
    }
    return SecretStatus::Success;
}

class SecretServiceStore final : public SecretStore {
public:
    SecretStatus fetch(const QString& service, const QString& account, crypto::SecureBuffer& secret) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
        ItemList found;
        const SecretSearchFlags flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
        if (search(provider.object, service.toUtf8(), account.toUtf8(), flags, call.cancellable(), found) !=
            SecretStatus::Success) {
            return SecretStatus::Failed;
        }
        if (!found.items) return SecretStatus::ItemNotFound;
        // A locked item, one without a secret or two that disagree leave the answer open.
        std::optional<crypto::SecureBuffer> value;
        for (GList* it = found.items; it; it = it->next) {
            SecretItem* item = SECRET_ITEM(it->data);
            SecretValue* v = secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item);
            if (!v) {
                logError("lookup", nullptr, "the item is locked");
                return SecretStatus::Failed;
            }
            gsize length = 0;
            const gchar* bytes = secret_value_get(v, &length);
            crypto::SecureBuffer copy(reinterpret_cast<const unsigned char*>(bytes), length);
            secret_value_unref(v);
            if (value && !value->equals(copy)) {
                qWarning("SecretStore: lookup found several different items for one account.");
                return SecretStatus::Failed;
            }
            if (!value) value.emplace(std::move(copy));
        }
        secret = std::move(*value);
        return SecretStatus::Success;
    }

    SecretStatus listAccounts(const QString& service, QStringList& accounts) override {
        accounts.clear();
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
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

    // Creates without replacing, then makes sure no other item of the account appeared meanwhile;
    // if one did, the new item is taken back so that the older one stays the only one.
    SecretStatus add(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
        const QByteArray s = service.toUtf8(), a = account.toUtf8();
        {
            ItemList existing;
            if (search(provider.object, s, a, SECRET_SEARCH_NONE, call.cancellable(), existing) !=
                SecretStatus::Success) {
                return SecretStatus::Failed;
            }
            if (existing.items) return SecretStatus::DuplicateItem;
        }
        Ref<SecretCollection> collection;
        if (!defaultCollection(provider.object, call.cancellable(), collection)) return SecretStatus::Failed;

        const Attributes attributes(s, a);
        const QByteArray label = QByteArrayLiteral("Murravo local integrity key (") + a + ')';
        SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                              static_cast<gssize>(secret.size()), "application/octet-stream");
        ErrorHolder err;
        Ref<SecretItem> created;
        created.object = secret_item_create_sync(collection.object, schema(), attributes.table, label.constData(),
                                                 value, SECRET_ITEM_CREATE_NONE, call.cancellable(), &err.error);
        secret_value_unref(value);
        if (!created) {
            logError("create", err.error);
            return SecretStatus::Failed;
        }

        ItemList after;
        const bool checked =
            search(provider.object, s, a, SECRET_SEARCH_NONE, call.cancellable(), after) == SecretStatus::Success;
        if (checked && g_list_length(after.items) == 1) return SecretStatus::Success;
        qWarning("SecretStore: another item of the same account appeared while adding; the new one is taken back.");
        ErrorHolder removeErr;
        if (!secret_item_delete_sync(created.object, call.cancellable(), &removeErr.error)) {
            logError("taking back a doubled item", removeErr.error);
        }
        return SecretStatus::Failed;
    }

    SecretStatus update(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        crypto::SecureBuffer existing;
        const SecretStatus found = fetch(service, account, existing);
        if (found != SecretStatus::Success) return found;
        return store(service, account, secret);
    }

    SecretStatus remove(const QString& service, const QString& account) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
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
    // The collection behind the "default" alias, created as libsecret's own store would when missing,
    // and unlocked.
    static bool defaultCollection(SecretService* service, GCancellable* cancellable, Ref<SecretCollection>& out) {
        ErrorHolder err;
        out.object = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                      cancellable, &err.error);
        if (err.error) {
            logError("default collection", err.error);
            return false;
        }
        if (!out) {
            out.object = secret_collection_create_sync(service, "Default keyring", SECRET_COLLECTION_DEFAULT,
                                                       SECRET_COLLECTION_CREATE_NONE, cancellable, &err.error);
            if (!out) {
                logError("creating the default collection", err.error);
                return false;
            }
        }
        if (secret_collection_get_locked(out.object)) {
            GList objects = {out.object, nullptr, nullptr};
            (void)secret_service_unlock_sync(service, &objects, cancellable, nullptr, &err.error);
            if (err.error || secret_collection_get_locked(out.object)) {
                logError("unlocking the default collection", err.error, "it stays locked");
                return false;
            }
        }
        return true;
    }

    static SecretStatus store(const QString& service, const QString& account, const crypto::SecureBuffer& secret) {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) {
            return s == SecretStatus::Unavailable ? SecretStatus::Failed : s;
        }
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
