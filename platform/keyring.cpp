#include "platform/keyring.h"

#include <dlfcn.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace pixolune::platform {
namespace {

constexpr const char* kSchemaName = "com.torvane.PixolunePlugin.Token";
constexpr const char* kValueAttribute = "value";

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

const SecretSchema* TokenSchema() {
    static const SecretSchema schema = [] {
        SecretSchema made{};
        made.name = kSchemaName;
        made.flags = SECRET_SCHEMA_NONE;
        made.attributes[0] = {kValueAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return &schema;
}

Attributes AttributesOf(const std::string& valueName) {
    Attributes attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(attributes.get(), g_strdup(kValueAttribute), g_strdup(valueName.c_str()));
    return attributes;
}

// libsecret registers its classes with GObject, which outlives any library;
// unloaded with a plug-in and loaded again at another address, it would find
// them registered by code that is gone. So it stays once it was used.
void KeepLibsecretLoaded() {
    static void* const kept = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    (void)kept;
}

// GLib falls back to starting a bus of its own ("autolaunch") when no session
// bus is named; a keyring there would be nobody's, so that case ends here.
bool SessionBusNamed() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return false;
    struct stat info {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

KeyringAnswer Answer(KeyringState state, std::string problem) {
    KeyringAnswer answer;
    answer.state = state;
    answer.problem = std::move(problem);
    return answer;
}

// The main context every keyring call runs on, kept for the life of the
// process: what GDBus hands back after a call has ended (a proxy's signal
// subscriptions going) is dispatched at the next call, not lost with a
// context of its own. One call at a time uses it.
struct KeyringContext {
    std::mutex mutex;  // held for the whole of one operation
    GMainContext* const context = g_main_context_new();
};

KeyringContext& SharedContext() {
    static KeyringContext shared;
    return shared;
}

void Drain(GMainContext* context) {
    while (g_main_context_iteration(context, FALSE)) {
    }
}

// The calls of one operation, run on the keyring's own main context so that
// nothing waits on the caller's loop, and cancelled at the deadline.
class KeyringSession {
  public:
    explicit KeyringSession(std::chrono::milliseconds deadline)
        : lock_(SharedContext().mutex),
          context_(SharedContext().context),
          cancellable_(g_cancellable_new()) {
        g_main_context_push_thread_default(context_);
        Drain(context_);
        timeout_ = g_timeout_source_new(static_cast<guint>(deadline.count()));
        g_source_set_callback(timeout_, &KeyringSession::OnDeadline, this, nullptr);
        g_source_attach(timeout_, context_);
    }
    ~KeyringSession() {
        g_source_destroy(timeout_);
        g_source_unref(timeout_);
        Drain(context_);
        g_main_context_pop_thread_default(context_);
        g_object_unref(cancellable_);
    }
    KeyringSession(const KeyringSession&) = delete;
    KeyringSession& operator=(const KeyringSession&) = delete;

    GCancellable* Cancellable() const { return cancellable_; }
    static void Done(GObject*, GAsyncResult* result, gpointer self) {
        static_cast<KeyringSession*>(self)->result_.reset(G_ASYNC_RESULT(g_object_ref(result)));
    }
    // The result of the call just started with Done as its callback.
    GAsyncResult* Wait() {
        result_.reset();
        while (!result_) g_main_context_iteration(context_, TRUE);
        return result_.get();
    }

    // What a failed call means for the caller.
    KeyringAnswer Failure(const GError* error) const {
        const std::string message = error ? error->message : "unknown error";
        if (timedOut_)
            return Answer(KeyringState::Failed, "the Secret Service did not answer in time");
        if (error && (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)))
            return Answer(KeyringState::NoService, "no Secret Service on the session bus");
        if (error && error->domain == G_IO_ERROR)
            return Answer(KeyringState::NoSessionBus,
                          "the session bus cannot be reached: " + message);
        return Answer(KeyringState::Failed, "the Secret Service failed: " + message);
    }

  private:
    static gboolean OnDeadline(gpointer self) {
        auto* session = static_cast<KeyringSession*>(self);
        session->timedOut_ = true;
        g_cancellable_cancel(session->cancellable_);
        return G_SOURCE_REMOVE;
    }

    std::lock_guard<std::mutex> lock_;
    GMainContext* context_;
    GCancellable* cancellable_;
    GSource* timeout_ = nullptr;
    ObjectPtr<GAsyncResult> result_;
    bool timedOut_ = false;
};

struct OpenService {
    ObjectPtr<SecretService> service;
    KeyringAnswer failure;
};

OpenService Open(KeyringSession& session) {
    OpenService opened;
    if (!SessionBusNamed()) {
        opened.failure = Answer(KeyringState::NoSessionBus, "no session bus");
        return opened;
    }
    KeepLibsecretLoaded();
    secret_service_open(SECRET_TYPE_SERVICE, nullptr,
                        static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION |
                                                        SECRET_SERVICE_LOAD_COLLECTIONS),
                        session.Cancellable(), &KeyringSession::Done, &session);
    GError* error = nullptr;
    opened.service.reset(secret_service_open_finish(session.Wait(), &error));
    const ErrorPtr owned(error);
    if (!opened.service) {
        opened.failure = session.Failure(error);
        return opened;
    }
    // The bus going away must not end the process that asked for a token.
    g_dbus_connection_set_exit_on_close(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(opened.service.get())), FALSE);
    return opened;
}

}  // namespace

KeyringAnswer SecretServiceKeyring::Lookup(const std::string& valueName) const {
    KeyringSession session(deadline_);
    OpenService opened = Open(session);
    if (!opened.service) return opened.failure;
    const Attributes attributes = AttributesOf(valueName);
    secret_service_search(
        opened.service.get(), TokenSchema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
        session.Cancellable(), &KeyringSession::Done, &session);
    GError* error = nullptr;
    const ItemList items(
        secret_service_search_finish(opened.service.get(), session.Wait(), &error));
    const ErrorPtr owned(error);
    if (error) return session.Failure(error);
    KeyringAnswer answer = Answer(KeyringState::Usable, "");
    for (GList* entry = items.get(); entry; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        const ValuePtr value(secret_item_get_secret(item));
        if (secret_item_get_locked(item) || !value) {
            answer = Answer(KeyringState::Locked, "the keyring that holds it is locked");
            continue;
        }
        answer = Answer(KeyringState::Usable, "");
        answer.secret =
            secret_value_get_text(value.get()) ? secret_value_get_text(value.get()) : "";
        break;
    }
    return answer;
}

KeyringAnswer SecretServiceKeyring::Store(const std::string& valueName, const std::string& label,
                                          const std::string& secret) const {
    KeyringSession session(deadline_);
    OpenService opened = Open(session);
    if (!opened.service) return opened.failure;
    secret_collection_for_alias(opened.service.get(), SECRET_COLLECTION_DEFAULT,
                                SECRET_COLLECTION_NONE, session.Cancellable(),
                                &KeyringSession::Done, &session);
    GError* error = nullptr;
    const ObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_finish(session.Wait(), &error));
    ErrorPtr owned(error);
    if (error) return session.Failure(error);
    if (!collection)
        return Answer(KeyringState::NoKeyring, "the keyring has no default collection");
    if (secret_collection_get_locked(collection.get()))
        return Answer(KeyringState::Locked, "the keyring is locked");
    const Attributes attributes = AttributesOf(valueName);
    const ValuePtr value(secret_value_new(secret.c_str(), -1, "text/plain"));
    secret_item_create(collection.get(), TokenSchema(), attributes.get(), label.c_str(),
                       value.get(), SECRET_ITEM_CREATE_REPLACE, session.Cancellable(),
                       &KeyringSession::Done, &session);
    error = nullptr;
    const ObjectPtr<SecretItem> item(secret_item_create_finish(session.Wait(), &error));
    owned.reset(error);
    if (!item) return session.Failure(error);
    return Answer(KeyringState::Usable, "");
}

KeyringAnswer SecretServiceKeyring::Clear(const std::string& valueName) const {
    KeyringSession session(deadline_);
    OpenService opened = Open(session);
    if (!opened.service) return opened.failure;
    const Attributes attributes = AttributesOf(valueName);
    secret_service_clear(opened.service.get(), TokenSchema(), attributes.get(),
                         session.Cancellable(), &KeyringSession::Done, &session);
    GError* error = nullptr;
    secret_service_clear_finish(opened.service.get(), session.Wait(), &error);
    const ErrorPtr owned(error);
    // FALSE without an error only says there was nothing to remove.
    if (error) return session.Failure(error);
    return Answer(KeyringState::Usable, "");
}

const char* DescribeKeyringState(KeyringState state) {
    switch (state) {
        case KeyringState::Usable:
            return "usable";
        case KeyringState::NoSessionBus:
            return "no session bus";
        case KeyringState::NoService:
            return "no Secret Service";
        case KeyringState::NoKeyring:
            return "no default keyring";
        case KeyringState::Locked:
            return "locked";
        case KeyringState::Failed:
            return "failed";
    }
    return "unknown";
}

}  // namespace pixolune::platform
