#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>

/**
 * The user's credential store: items found by an attribute set (the keys "service" and
 * "account", both required) and holding a secret of bytes. Every operation answers with a
 * 32-bit status, 0 for success; a failure is never reported as success. The calls may block
 * on the backend for a moment: make them only where a credential is really needed.
 */
class SecretStore {
public:
    using Attributes = QMap<QString, QString>;

    /** Statuses besides success; each failure of the backend maps to one of them. */
    enum Status : std::int32_t {
        success = 0,
        /** No item matches the attributes. */
        itemNotFound = -25300,
        /** No credential store can be reached (no session bus, no Secret Service). */
        notAvailable = -25291,
        /** The collection is locked and was not unlocked. */
        locked = -25308,
        /** The store refused access. */
        accessDenied = -25293,
        /** The attributes are not exactly a service and an account. */
        invalidAttributes = -50,
        /** Any other failure of the store. */
        failure = -2070,
    };

    virtual ~SecretStore() = default;

    /** Stores an item with these attributes, replacing one that has exactly the same. */
    virtual std::int32_t add(const Attributes& attributes, const QByteArray& secret) = 0;

    /** Finds the first item matching the attributes and puts its secret in secret. */
    virtual std::int32_t copyMatching(const Attributes& attributes, QByteArray& secret) = 0;

    /** Deletes every item matching the attributes; itemNotFound when there was none. */
    virtual std::int32_t remove(const Attributes& attributes) = 0;

    /** The platform's store; lives for the whole process. Main thread. */
    static SecretStore& system();

    /** The attributes name one item: exactly the keys "service" and "account". */
    static bool isItemAddress(const Attributes& attributes);
};
