#pragma once

// Test-only control of a keyring daemon (gnome-keyring) over D-Bus: a bus and daemon of the
// test process's own, a scratch collection that stands in for the default one and locks and
// unlocks without a prompt (or, removed, leaves no default collection at all), and a stand-in
// for the system prompter whose prompts wait until the test lets them go.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <QByteArray>
#include <QProcess>
#include <QThread>
#include <QUuid>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dorvex::test::keyring {

inline constexpr char kBusName[] = "org.freedesktop.secrets";
inline constexpr char kServicePath[] = "/org/freedesktop/secrets";
inline constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";
inline constexpr char kCollectionInterface[] = "org.freedesktop.Secret.Collection";
// gnome-keyring's own interface for collections with a password given by the caller.
inline constexpr char kMasterPasswordInterface[] = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

// The process's shared session connection (libsecret's too). It must outlive a private bus
// that goes away at the end without taking the test process with it.
inline GDBusConnection* bus()
{
    static GDBusConnection* const connection = [] {
        GDBusConnection* shared = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (shared)
            g_dbus_connection_set_exit_on_close(shared, FALSE);
        return shared;
    }();
    return connection;
}

// One call to the daemon: the reply, for the caller to release, or null.
inline GVariant* call(const char* path, const char* interface, const char* method, GVariant* args)
{
    if (!bus()) {
        if (args)
            g_variant_unref(g_variant_ref_sink(args));
        return nullptr;
    }
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus(), kBusName, path, interface, method, args, nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (!reply) {
        std::fprintf(stderr, "keyring control: %s failed: %s\n", method, error->message);
        g_error_free(error);
    }
    return reply;
}

inline bool succeeds(GVariant* reply)
{
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

// A session bus and keyring daemon of this test process's own, started before its first test.
// A binary that registers it may lock the keyring, take its default collection away and
// answer its prompts: nothing of that reaches the keyring the rest of the suite shares.
class PrivateKeyring : public ::testing::Environment {
public:
    [[nodiscard]] static bool running() { return running_; }

    void SetUp() override
    {
        bus_.setStandardErrorFile(QProcess::nullDevice());
        bus_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                   QStringLiteral("--print-address=1")});
        if (!bus_.waitForStarted(10000))
            return;
        while (!bus_.canReadLine() && bus_.waitForReadyRead(10000)) {
        }
        const QByteArray address = bus_.readLine().trimmed();
        if (address.isEmpty())
            return;
        // Read by GLib at its first connection, which nothing in the process has made yet.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        keyring_.setStandardOutputFile(QProcess::nullDevice());
        keyring_.setStandardErrorFile(QProcess::nullDevice());
        keyring_.start(QStringLiteral("gnome-keyring-daemon"),
                       {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
        if (!keyring_.waitForStarted(10000))
            return;
        // The password of its login collection on standard input, then the end of it; written
        // out here, as no event loop runs to do it later.
        keyring_.write("murravo-private\n");
        keyring_.waitForBytesWritten(10000);
        keyring_.closeWriteChannel();
        for (int attempt = 0; attempt < 100 && !running_; ++attempt) {
            running_ = serviceOwned();
            if (!running_)
                QThread::msleep(100);
        }
    }
    void TearDown() override
    {
        for (QProcess* process : {&keyring_, &bus_}) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
        running_ = false;
    }

private:
    static bool serviceOwned();

    inline static bool running_ = false;
    QProcess bus_;
    QProcess keyring_;
};

// The collection behind the "default" alias, "/" for none, empty when the daemon did not answer.
inline std::string defaultAlias()
{
    GVariant* reply = call(kServicePath, kServiceInterface, "ReadAlias", g_variant_new("(s)", "default"));
    if (!reply)
        return {};
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string result = path;
    g_variant_unref(reply);
    return result;
}

// The object paths of every collection, to show that none was added.
inline std::vector<std::string> collections()
{
    std::vector<std::string> paths;
    GVariant* reply = call(kServicePath, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kServiceInterface, "Collections"));
    if (!reply)
        return paths;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    GVariantIter iter;
    g_variant_iter_init(&iter, value);
    const gchar* path = nullptr;
    while (g_variant_iter_next(&iter, "&o", &path))
        paths.emplace_back(path);
    g_variant_unref(value);
    g_variant_unref(reply);
    return paths;
}

inline bool setDefaultAlias(const std::string& path)
{
    return succeeds(call(kServicePath, kServiceInterface, "SetAlias", g_variant_new("(so)", "default", path.c_str())));
}

inline bool PrivateKeyring::serviceOwned()
{
    if (!bus())
        return false;
    GVariant* reply = g_dbus_connection_call_sync(bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", kBusName),
                                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!reply)
        return false;
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

// A new collection with a password of the test's own, made the default one while it lives, so
// that the code under test puts its items there; afterwards the previous default is restored
// and the collection deleted with everything in it.
class ScratchCollection {
public:
    ScratchCollection()
    {
        GVariant* opened = call(kServicePath, kServiceInterface, "OpenSession",
                                g_variant_new("(sv)", "plain", g_variant_new_string("")));
        if (!opened)
            return;
        const gchar* session = nullptr;
        g_variant_get(opened, "(v&o)", nullptr, &session);
        session_ = session;
        g_variant_unref(opened);
        previousDefault_ = defaultAlias();
        const QByteArray label = "Murravo test " + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                              g_variant_new_string(label.constData()));
        GVariant* made = call(kServicePath, kMasterPasswordInterface, "CreateWithMasterPassword",
                              g_variant_new("(a{sv}@(oayays))", &properties, password()));
        if (!made)
            return;
        const gchar* path = nullptr;
        g_variant_get(made, "(&o)", &path);
        path_ = path;
        g_variant_unref(made);
        ok_ = !previousDefault_.empty() && setDefaultAlias(path_);
    }
    ~ScratchCollection()
    {
        if (path_.empty())
            return;
        if (!removed_)
            (void)unlock();
        (void)setDefaultAlias(previousDefault_);
        if (!removed_)
            (void)remove();
    }
    ScratchCollection(const ScratchCollection&) = delete;
    ScratchCollection& operator=(const ScratchCollection&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }

    // Deleted while the default alias still names it, it leaves the keyring without any default
    // collection, as on a system where none was made yet, until the previous one is restored.
    [[nodiscard]] bool remove()
    {
        removed_ = succeeds(call(path_.c_str(), kCollectionInterface, "Delete", nullptr));
        return removed_;
    }

    [[nodiscard]] bool lock()
    {
        const gchar* const paths[] = {path_.c_str()};
        return succeeds(call(kServicePath, kServiceInterface, "Lock", g_variant_new("(@ao)", g_variant_new_objv(paths, 1))));
    }
    // With the password, as the user would in the prompt; no prompt is shown.
    [[nodiscard]] bool unlock()
    {
        return succeeds(call(kServicePath, kMasterPasswordInterface, "UnlockWithMasterPassword",
                             g_variant_new("(o@(oayays))", path_.c_str(), password())));
    }
    [[nodiscard]] bool locked()
    {
        GVariant* reply = call(path_.c_str(), "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", kCollectionInterface, "Locked"));
        if (!reply)
            return false;
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        const bool result = g_variant_get_boolean(value);
        g_variant_unref(value);
        g_variant_unref(reply);
        return result;
    }

private:
    // The secret structure of the "plain" session: session, parameters, value, content type.
    [[nodiscard]] GVariant* password() const
    {
        static constexpr char kPassword[] = "murravo-scratch";
        return g_variant_new("(o@ay@ays)", session_.c_str(), g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                             g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kPassword, sizeof kPassword - 1, 1),
                             "text/plain");
    }

    std::string session_;
    std::string previousDefault_;
    std::string path_;
    bool ok_ = false;
    bool removed_ = false;
};

// Owns the system prompter's bus name on a connection of its own, so that the daemon brings its
// prompts here instead of starting the real prompter (which waits for a person, or fails at
// once without a display). A prompt stays up until dismiss(), which takes the prompter off the
// bus: the daemon then reports its prompt as dismissed, as after a cancel.
class FakePrompter {
public:
    FakePrompter() : thread_([this] { run(); })
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return started_; });
    }
    ~FakePrompter() { dismiss(); }
    FakePrompter(const FakePrompter&) = delete;
    FakePrompter& operator=(const FakePrompter&) = delete;

    [[nodiscard]] bool ok() const { return owned_; }

    // True once the daemon has begun a prompt here; false when none came within a generous bound.
    [[nodiscard]] bool waitUntilAsked()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return asked_; });
    }

    void dismiss()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            if (context_)
                g_main_context_wakeup(context_);
        }
        thread_.join();
    }

private:
    static constexpr char kXml[] =
        "<node><interface name='org.gnome.keyring.internal.Prompter'>"
        "<method name='BeginPrompting'><arg type='o' direction='in'/></method>"
        "<method name='PerformPrompt'><arg type='o' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='a{sv}' direction='in'/><arg type='s' direction='in'/></method>"
        "<method name='StopPrompting'><arg type='o' direction='in'/></method>"
        "</interface></node>";

    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                       GDBusMethodInvocation* invocation, gpointer data)
    {
        auto* self = static_cast<FakePrompter*>(data);
        if (g_strcmp0(method, "BeginPrompting") == 0) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->asked_ = true;
            self->changed_.notify_all();
        }
        // Answered, but never followed by the callback that would let the prompt go on.
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    void run()
    {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GDBusConnection* connection =
            address ? g_dbus_connection_new_for_address_sync(
                          address,
                          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                          nullptr, nullptr, nullptr)
                    : nullptr;
        g_free(address);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kXml, nullptr);
        bool owned = false;
        if (connection) {
            static const GDBusInterfaceVTable vtable = {onCall, nullptr, nullptr, {}};
            g_dbus_connection_register_object(connection, "/org/gnome/keyring/Prompter", node->interfaces[0], &vtable,
                                              this, nullptr, nullptr);
            constexpr guint32 kDoNotQueue = 4, kPrimaryOwner = 1;
            if (GVariant* reply = g_dbus_connection_call_sync(
                    connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "RequestName", g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", kDoNotQueue),
                    G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr)) {
                guint32 answer = 0;
                g_variant_get(reply, "(u)", &answer);
                owned = answer == kPrimaryOwner;
                g_variant_unref(reply);
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            owned_ = owned;
            context_ = context;
            started_ = true;
        }
        changed_.notify_all();
        while (owned && !stopping())
            g_main_context_iteration(context, TRUE);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            context_ = nullptr;
        }
        if (connection) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        g_dbus_node_info_unref(node);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    bool stopping()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    GMainContext* context_ = nullptr;
    bool stop_ = false;
    bool started_ = false;
    bool owned_ = false;
    bool asked_ = false;
    std::thread thread_;
};

}  // namespace dorvex::test::keyring
