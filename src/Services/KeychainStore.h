#pragma once

#include "Platform/SecretStore.h"
#include "Services/KeychainStoreError.h"

#include <QString>
#include <QUuid>

#include <optional>

/**
 * The device's three credentials, one keychain item each under a fixed service: the device
 * token ("refresh"), the device identifier ("deviceId") and the child identifier ("childId").
 * No cache: every read asks the store, every save replaces the item (delete, then add).
 * Reads never fail; saves throw KeychainStoreError. Main thread.
 */
class KeychainStore {
public:
    static constexpr const char* defaultService = "ai.orvane.mac.refresh";

    /** store must outlive the keychain store. */
    explicit KeychainStore(QString service = QString::fromLatin1(defaultService),
                           SecretStore& store = SecretStore::system());

    /** The process-wide store under the default service; never destroyed. */
    static KeychainStore& shared();

    [[nodiscard]] const QString& service() const { return m_service; }
    [[nodiscard]] const QString& refreshAccount() const { return m_refreshAccount; }
    [[nodiscard]] const QString& deviceIdAccount() const { return m_deviceIdAccount; }
    [[nodiscard]] const QString& childIdAccount() const { return m_childIdAccount; }

    void saveDeviceToken(const QString& token);
    [[nodiscard]] std::optional<QString> readDeviceToken() const;
    void saveDeviceId(const QUuid& id);
    [[nodiscard]] std::optional<QUuid> readDeviceId() const;
    void saveChildId(const QUuid& id);
    [[nodiscard]] std::optional<QUuid> readChildId() const;

    /** Deletes the three items (token, device, child); never fails. */
    void clear();

private:
    [[nodiscard]] SecretStore::Attributes baseQuery(const QString& account) const;
    void saveString(const QString& text, const QString& account);
    [[nodiscard]] std::optional<QString> readString(const QString& account) const;
    void saveUuid(const QUuid& id, const QString& account);
    [[nodiscard]] std::optional<QUuid> readUuid(const QString& account) const;

    const QString m_service;
    const QString m_refreshAccount = QStringLiteral("refresh");
    const QString m_deviceIdAccount = QStringLiteral("deviceId");
    const QString m_childIdAccount = QStringLiteral("childId");
    SecretStore& m_store;
};
