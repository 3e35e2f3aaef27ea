// The credential store on Linux: the Secret Service (GNOME Keyring, KWallet) through libsecret.
// libsecret comes first: GLib's headers use "signals" as a name, which Qt defines as a macro.
#include <libsecret/secret.h>

#include "Platform/SecretStore.h"

#include <memory>

namespace {

// Items match on service and account alone, not on the schema name, so that an item stored
// with `secret-tool store ... service S account A` is found, and ours are found by
// `secret-tool lookup service S account A`.
const SecretSchema* itemSchema()
{
    static const SecretSchema schema = {
        "ai.orvane.mac.GenericPassword",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
    };
    return &schema;
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using HashTable = std::unique_ptr<GHashTable, HashTableUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

HashTable toHashTable(const SecretStore::Attributes& attributes)
{
    HashTable table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        g_hash_table_insert(table.get(), g_strdup(it.key().toUtf8().constData()),
                            g_strdup(it.value().toUtf8().constData()));
    return table;
}

bool isRemoteDenial(const GError* error)
{
    Error copy(g_error_copy(error));
    g_autofree gchar* name = g_dbus_error_get_remote_error(copy.get());
    return name && (g_str_has_suffix(name, ".AccessDenied") || g_str_has_suffix(name, ".Denied") ||
                    g_str_has_suffix(name, ".NotAuthorized"));
}

/** The status of a failure of a call to a Secret Service that was reached. */
std::int32_t statusOf(const GError* error)
{
    if (error->domain == SECRET_ERROR)
        return error->code == SECRET_ERROR_IS_LOCKED ? SecretStore::locked : SecretStore::failure;
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return SecretStore::accessDenied;
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        case G_DBUS_ERROR_UNKNOWN_METHOD:
        case G_DBUS_ERROR_UNKNOWN_OBJECT:
        case G_DBUS_ERROR_UNKNOWN_INTERFACE:
            return SecretStore::notAvailable;
        default:
            return SecretStore::failure;
        }
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_PERMISSION_DENIED:
            return SecretStore::accessDenied;
        case G_IO_ERROR_DBUS_ERROR:
            return isRemoteDenial(error) ? SecretStore::accessDenied : SecretStore::failure;
        case G_IO_ERROR_CLOSED:
        case G_IO_ERROR_NOT_CONNECTED:
        case G_IO_ERROR_CONNECTION_REFUSED:
        case G_IO_ERROR_CONNECTION_CLOSED: // also G_IO_ERROR_BROKEN_PIPE
        case G_IO_ERROR_TIMED_OUT:
            return SecretStore::notAvailable;
        default:
            return SecretStore::failure;
        }
    }
    return SecretStore::failure;
}

class LibsecretStore final : public SecretStore {
public:
    std::int32_t add(const Attributes& attributes, const QByteArray& secret) override
    {
        if (!isItemAddress(attributes))
            return invalidAttributes;
        SecretService* service = nullptr;
        if (const auto status = connect(service); status != success)
            return status;
        const HashTable table = toHashTable(attributes);
        const QByteArray label = (attributes.value(QStringLiteral("service")) + QLatin1Char('/') +
                                  attributes.value(QStringLiteral("account")))
                                     .toUtf8();
        SecretValue* value = secret_value_new(secret.constData(), secret.size(), "text/plain");
        GError* raw = nullptr;
        const gboolean stored =
            secret_service_store_sync(service, itemSchema(), table.get(), SECRET_COLLECTION_DEFAULT,
                                      label.constData(), value, nullptr, &raw);
        secret_value_unref(value);
        const Error error(raw);
        if (error)
            return statusOf(error.get());
        return stored ? success : failure;
    }

    std::int32_t copyMatching(const Attributes& attributes, QByteArray& secret) override
    {
        if (!isItemAddress(attributes))
            return invalidAttributes;
        SecretService* service = nullptr;
        if (const auto status = connect(service); status != success)
            return status;
        const HashTable table = toHashTable(attributes);
        GError* raw = nullptr;
        // Without SECRET_SEARCH_ALL only the first match comes back, preferring unlocked items.
        const ItemList items(secret_service_search_sync(
            service, itemSchema(), table.get(),
            static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
            nullptr, &raw));
        const Error error(raw);
        if (error)
            return statusOf(error.get());
        if (!items)
            return itemNotFound;
        auto* item = static_cast<SecretItem*>(items->data);
        // A locked item stays in the list when the unlock prompt was refused or failed.
        if (secret_item_get_locked(item))
            return locked;
        SecretValue* value = secret_item_get_secret(item);
        if (!value)
            return failure;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        secret = QByteArray(bytes, static_cast<qsizetype>(length));
        secret_value_unref(value);
        return success;
    }

    std::int32_t remove(const Attributes& attributes) override
    {
        if (!isItemAddress(attributes))
            return invalidAttributes;
        SecretService* service = nullptr;
        if (const auto status = connect(service); status != success)
            return status;
        const HashTable table = toHashTable(attributes);
        GError* raw = nullptr;
        const gboolean removed =
            secret_service_clear_sync(service, itemSchema(), table.get(), nullptr, &raw);
        const Error error(raw);
        if (error)
            return statusOf(error.get());
        if (removed)
            return success;
        // Only unlocked items are deleted; a locked match is not "no item".
        return hasLockedMatch(service, table.get()) ? locked : itemNotFound;
    }

private:
    static bool hasLockedMatch(SecretService* service, GHashTable* attributes)
    {
        GError* raw = nullptr;
        const ItemList items(secret_service_search_sync(service, itemSchema(), attributes,
                                                        SECRET_SEARCH_ALL, nullptr, &raw));
        const Error error(raw);
        for (GList* it = items.get(); it; it = it->next)
            if (secret_item_get_locked(static_cast<SecretItem*>(it->data)))
                return true;
        return false;
    }

    /**
     * The Secret Service with an open session. The bus is looked up on each call until one is
     * found, so that a session bus started later is still used; without a bus address (and no
     * display to autolaunch one from) GLib fails at once.
     */
    std::int32_t connect(SecretService*& service)
    {
        if (!m_bus) {
            GError* raw = nullptr;
            m_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
            const Error error(raw);
            if (!m_bus)
                return notAvailable;
            // A session bus that goes away must not take the program with it (GLib's default).
            g_dbus_connection_set_exit_on_close(m_bus, FALSE);
        }
        if (!m_service) {
            GError* raw = nullptr;
            m_service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw);
            const Error error(raw);
            if (!m_service) {
                const auto status = error ? statusOf(error.get()) : notAvailable;
                return status == accessDenied ? accessDenied : notAvailable;
            }
        }
        service = m_service;
        return success;
    }

    // Kept for the life of the process, like the store itself.
    GDBusConnection* m_bus = nullptr;
    SecretService* m_service = nullptr;
};

} // namespace

SecretStore& SecretStore::system()
{
    static LibsecretStore store;
    return store;
}
