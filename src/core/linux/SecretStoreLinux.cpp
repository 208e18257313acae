#include "core/SecretStore.h"

#include <QDebug>

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace dorvex::core {

namespace {

constexpr char kSecretsBusName[] = "org.freedesktop.secrets";
constexpr char kServicePath[] = "/org/freedesktop/secrets";
constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";
constexpr char kCollectionInterface[] = "org.freedesktop.Secret.Collection";
constexpr char kPromptInterface[] = "org.freedesktop.Secret.Prompt";
constexpr char kNoObject[] = "/";

const SecretSchema* schema() {
    static const SecretSchema s = {"com.murravo.LocalIntegrityKey",
                                   SECRET_SCHEMA_NONE,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

int callLimitMs() { return static_cast<int>(secretStoreCallLimit.count()); }

// Cancels the wrapped call when the service leaves it without an answer for longer than
// secretStoreCallLimit; the clock stands still while a prompt waits for the user.
class BoundedCall {
public:
    BoundedCall()
        : cancellable_(g_cancellable_new()),
          deadline_(std::chrono::steady_clock::now() + secretStoreCallLimit),
          watchdog_([this] { watch(); }) {}
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

    // While the user is being asked; resuming gives the service a whole limit again.
    void pause() { setPaused(true); }
    void resume() { setPaused(false); }

private:
    void setPaused(bool paused) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            paused_ = paused;
            deadline_ = std::chrono::steady_clock::now() + secretStoreCallLimit;
        }
        wake_.notify_all();
    }

    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            if (paused_) {
                wake_.wait(lock, [this] { return done_ || !paused_; });
            } else if (!wake_.wait_until(lock, deadline_, [this] { return done_ || paused_; })) {
                g_cancellable_cancel(cancellable_);
                return;
            }
        }
    }

    GCancellable* cancellable_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::chrono::steady_clock::time_point deadline_;
    bool paused_ = false;
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

// Releases a GVariant where it goes out of scope.
struct VariantRef {
    GVariant* value = nullptr;
    ~VariantRef() {
        if (value) g_variant_unref(value);
    }
    explicit operator bool() const { return value != nullptr; }
};

// One method call on the service, answered within the call limit; null (logged) otherwise.
GVariant* callService(GDBusConnection* bus, const char* path, const char* interface, const char* method,
                      GVariant* args, const char* replyType, GCancellable* cancellable) {
    ErrorHolder err;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, kSecretsBusName, path, interface, method, args, G_VARIANT_TYPE(replyType),
                                    G_DBUS_CALL_FLAGS_NONE, callLimitMs(), cancellable, &err.error);
    if (!reply) logError(method, err.error);
    return reply;
}

struct PromptAnswer {
    bool answered = false;
    bool dismissed = true;
    bool serviceGone = false;
};

void onPromptCompleted(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                       gpointer data) {
    auto* answer = static_cast<PromptAnswer*>(data);
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bv)"))) {
        gboolean dismissed = TRUE;
        g_variant_get(parameters, "(bv)", &dismissed, nullptr);
        answer->dismissed = dismissed;
    }
    answer->answered = true;
}

void onServiceVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* answer = static_cast<PromptAnswer*>(data);
    answer->serviceGone = true;
    answer->answered = true;
}

// On the watchdog's thread: the waiting thread looks at the cancellable once woken.
void onCallCancelled(GCancellable*, gpointer context) { g_main_context_wakeup(static_cast<GMainContext*>(context)); }

// Has the service show its prompt, then waits for the user's answer with the clock stopped:
// the user may take as long as they need. Success when answered, Dismissed when cancelled.
// The prompt is never dismissed from here: the user answers it (and a client's Dismiss has
// been seen to bring gnome-keyring down).
SecretStatus runPrompt(GDBusConnection* bus, const char* owner, const char* promptPath, BoundedCall& call,
                       const PromptWatcher& watcher) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    PromptAnswer answer;
    // Subscribed before the prompt is shown, so that no answer can slip past.
    const guint completed =
        g_dbus_connection_signal_subscribe(bus, owner, kPromptInterface, "Completed", promptPath, nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, onPromptCompleted, &answer, nullptr);
    const guint watch = g_bus_watch_name_on_connection(bus, owner, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
                                                       onServiceVanished, &answer, nullptr);
    SecretStatus status = SecretStatus::Failed;
    if (VariantRef shown{callService(bus, promptPath, kPromptInterface, "Prompt", g_variant_new("(s)", ""), "()",
                                     call.cancellable())}) {
        call.pause();
        if (watcher) watcher(true);
        const gulong cancelled =
            g_cancellable_connect(call.cancellable(), G_CALLBACK(onCallCancelled), context, nullptr);
        while (!answer.answered && !g_cancellable_is_cancelled(call.cancellable())) {
            g_main_context_iteration(context, TRUE);
        }
        g_cancellable_disconnect(call.cancellable(), cancelled);
        if (watcher) watcher(false);
        call.resume();
        if (!answer.answered) {
            logError("prompt", nullptr, "the wait for its answer was cut short");
        } else if (answer.serviceGone) {
            logError("prompt", nullptr, "the service went away while it waited");
        } else {
            status = answer.dismissed ? SecretStatus::Dismissed : SecretStatus::Success;
        }
    }
    g_bus_unwatch_name(watch);
    g_dbus_connection_signal_unsubscribe(bus, completed);
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return status;
}

// Asks the service to unlock these objects ("ao"), through its prompt where it shows one.
SecretStatus unlockObjects(GDBusConnection* bus, const char* owner, GVariant* paths, BoundedCall& call,
                           const PromptWatcher& watcher) {
    const VariantRef reply{callService(bus, kServicePath, kServiceInterface, "Unlock", g_variant_new("(@ao)", paths),
                                       "(aoo)", call.cancellable())};
    if (!reply) return SecretStatus::Failed;
    const gchar* prompt = nullptr;
    g_variant_get(reply.value, "(@ao&o)", nullptr, &prompt);
    return g_strcmp0(prompt, kNoObject) == 0 ? SecretStatus::Success
                                              : runPrompt(bus, owner, prompt, call, watcher);
}

// The locked items ("ao") of this service and account; `any` tells whether there are items at all.
bool lockedItems(GDBusConnection* bus, const QByteArray& s, const QByteArray& a, GCancellable* cancellable,
                 VariantRef& locked, bool& any) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", schema()->name);
    g_variant_builder_add(&attributes, "{ss}", "service", s.constData());
    g_variant_builder_add(&attributes, "{ss}", "account", a.constData());
    const VariantRef reply{callService(bus, kServicePath, kServiceInterface, "SearchItems",
                                       g_variant_new("(a{ss})", &attributes), "(aoao)", cancellable)};
    if (!reply) return false;
    VariantRef unlocked;
    g_variant_get(reply.value, "(@ao@ao)", &unlocked.value, &locked.value);
    any = g_variant_n_children(unlocked.value) + g_variant_n_children(locked.value) > 0;
    return true;
}

SecretStatus unlockItems(GDBusConnection* bus, const char* owner, const QByteArray& s, const QByteArray& a,
                         BoundedCall& call, const PromptWatcher& watcher) {
    VariantRef locked;
    bool any = false;
    if (!lockedItems(bus, s, a, call.cancellable(), locked, any)) return SecretStatus::Failed;
    if (!any) return SecretStatus::ItemNotFound;
    if (g_variant_n_children(locked.value) == 0) return SecretStatus::Success;
    if (const SecretStatus asked = unlockObjects(bus, owner, locked.value, call, watcher);
        asked != SecretStatus::Success) {
        return asked;
    }
    VariantRef still;
    if (!lockedItems(bus, s, a, call.cancellable(), still, any)) return SecretStatus::Failed;
    return g_variant_n_children(still.value) == 0 ? SecretStatus::Success : SecretStatus::Locked;
}

// The object path behind the "default" alias; "/" when there is none.
bool defaultAlias(GDBusConnection* bus, GCancellable* cancellable, std::string& path) {
    const VariantRef reply{callService(bus, kServicePath, kServiceInterface, "ReadAlias",
                                       g_variant_new("(s)", SECRET_COLLECTION_DEFAULT), "(o)", cancellable)};
    if (!reply) return false;
    const gchar* alias = nullptr;
    g_variant_get(reply.value, "(&o)", &alias);
    path = alias;
    return true;
}

bool collectionLocked(GDBusConnection* bus, const std::string& path, GCancellable* cancellable, bool& locked) {
    const VariantRef reply{callService(bus, path.c_str(), "org.freedesktop.DBus.Properties", "Get",
                                       g_variant_new("(ss)", kCollectionInterface, "Locked"), "(v)", cancellable)};
    if (!reply) return false;
    VariantRef value;
    g_variant_get(reply.value, "(v)", &value.value);
    if (!g_variant_is_of_type(value.value, G_VARIANT_TYPE_BOOLEAN)) return false;
    locked = g_variant_get_boolean(value.value);
    return true;
}

// Creating a collection asks the user for its password, as libsecret's own store would.
SecretStatus createDefaultCollection(GDBusConnection* bus, const char* owner, BoundedCall& call,
                                     const PromptWatcher& watcher) {
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("Default keyring"));
    const VariantRef reply{callService(bus, kServicePath, kServiceInterface, "CreateCollection",
                                       g_variant_new("(a{sv}s)", &properties, SECRET_COLLECTION_DEFAULT), "(oo)",
                                       call.cancellable())};
    if (!reply) return SecretStatus::Failed;
    const gchar* prompt = nullptr;
    g_variant_get(reply.value, "(&o&o)", nullptr, &prompt);
    return g_strcmp0(prompt, kNoObject) == 0 ? SecretStatus::Success
                                              : runPrompt(bus, owner, prompt, call, watcher);
}

SecretStatus unlockDefaultCollection(GDBusConnection* bus, const char* owner, BoundedCall& call,
                                     const PromptWatcher& watcher) {
    std::string path;
    if (!defaultAlias(bus, call.cancellable(), path)) return SecretStatus::Failed;
    if (path == kNoObject) {
        if (const SecretStatus made = createDefaultCollection(bus, owner, call, watcher);
            made != SecretStatus::Success) {
            return made;
        }
        if (!defaultAlias(bus, call.cancellable(), path)) return SecretStatus::Failed;
        if (path == kNoObject) {
            logError("creating the default collection", nullptr, "the service made none");
            return SecretStatus::Failed;
        }
    }
    bool locked = false;
    if (!collectionLocked(bus, path, call.cancellable(), locked)) return SecretStatus::Failed;
    if (!locked) return SecretStatus::Success;
    const gchar* const paths[] = {path.c_str()};
    const VariantRef objects{g_variant_ref_sink(g_variant_new_objv(paths, 1))};
    if (const SecretStatus asked = unlockObjects(bus, owner, objects.value, call, watcher);
        asked != SecretStatus::Success) {
        return asked;
    }
    if (!collectionLocked(bus, path, call.cancellable(), locked)) return SecretStatus::Failed;
    return locked ? SecretStatus::Locked : SecretStatus::Success;
}

class SecretServiceStore final : public SecretStore {
public:
    SecretStatus fetch(const QString& service, const QString& account, crypto::SecureBuffer& secret) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
        ItemList found;
        if (search(provider.object, service.toUtf8(), account.toUtf8(), SECRET_SEARCH_LOAD_SECRETS,
                   call.cancellable(), found) != SecretStatus::Success) {
            return SecretStatus::Failed;
        }
        if (!found.items) return SecretStatus::ItemNotFound;
        // Unlocking is left to unlock(), which may ask the user; a lookup never does.
        for (GList* it = found.items; it; it = it->next) {
            if (secret_item_get_locked(SECRET_ITEM(it->data))) return SecretStatus::Locked;
        }
        // One without a secret or two that disagree leave the answer open.
        std::optional<crypto::SecureBuffer> value;
        for (GList* it = found.items; it; it = it->next) {
            SecretValue* v = secret_item_get_secret(SECRET_ITEM(it->data));
            if (!v) {
                logError("lookup", nullptr, "the item came without its secret");
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
        if (const SecretStatus ready = defaultCollection(provider.object, call.cancellable(), collection);
            ready != SecretStatus::Success) {
            return ready;
        }

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

    // In place, in whichever collection the item is: no second item, no prompt.
    SecretStatus update(const QString& service, const QString& account, const crypto::SecureBuffer& secret) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) {
            return s == SecretStatus::Unavailable ? SecretStatus::Failed : s;
        }
        ItemList found;
        if (search(provider.object, service.toUtf8(), account.toUtf8(), SECRET_SEARCH_NONE, call.cancellable(),
                   found) != SecretStatus::Success) {
            return SecretStatus::Failed;
        }
        if (!found.items) return SecretStatus::ItemNotFound;
        for (GList* it = found.items; it; it = it->next) {
            if (secret_item_get_locked(SECRET_ITEM(it->data))) return SecretStatus::Locked;
        }
        for (GList* it = found.items; it; it = it->next) {
            SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                                  static_cast<gssize>(secret.size()), "application/octet-stream");
            ErrorHolder err;
            const gboolean stored = secret_item_set_secret_sync(SECRET_ITEM(it->data), value, call.cancellable(),
                                                                &err.error);
            secret_value_unref(value);
            if (!stored) {
                logError("update", err.error);
                return SecretStatus::Failed;
            }
        }
        return SecretStatus::Success;
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

    SecretStatus unlock(const QString& service, const QString& account, const PromptWatcher& watcher) override {
        BoundedCall call;
        Ref<SecretService> provider;
        if (const SecretStatus s = connect(call.cancellable(), provider); s != SecretStatus::Success) return s;
        GDBusProxy* proxy = G_DBUS_PROXY(provider.object);
        // Prompts and their answers are tied to the service's own connection.
        const std::unique_ptr<gchar, decltype(&g_free)> owner(g_dbus_proxy_get_name_owner(proxy), g_free);
        if (!owner) {
            logError("unlock", nullptr, "the service has left the bus");
            return SecretStatus::Failed;
        }
        GDBusConnection* bus = g_dbus_proxy_get_connection(proxy);
        if (account.isEmpty()) return unlockDefaultCollection(bus, owner.get(), call, watcher);
        return unlockItems(bus, owner.get(), service.toUtf8(), account.toUtf8(), call, watcher);
    }

private:
    // The collection behind the "default" alias, unlocked. Neither made nor unlocked here: that
    // may ask the user, which only unlock() does.
    static SecretStatus defaultCollection(SecretService* service, GCancellable* cancellable,
                                          Ref<SecretCollection>& out) {
        ErrorHolder err;
        out.object = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                      cancellable, &err.error);
        if (!out) {
            logError("default collection", err.error, "there is none");
            return SecretStatus::Failed;
        }
        return secret_collection_get_locked(out.object) ? SecretStatus::Locked : SecretStatus::Success;
    }
};

}  // namespace

std::chrono::milliseconds secretStoreCallLimit{10000};

std::unique_ptr<SecretStore> makePlatformSecretStore() { return std::make_unique<SecretServiceStore>(); }

}  // namespace dorvex::core
