#pragma once

#include "Platform/SecretStore.h"

#include <QList>
#include <QStringList>

#include <cstdint>
#include <optional>

/**
 * A credential store in memory, with the backend's matching rules: items are found by their
 * service and account. It can be told to fail adds, or every call, with a chosen status, and it
 * records each call as "<operation> <account>" so a test can check their order.
 */
class InMemorySecretStore final : public SecretStore {
public:
    struct Item {
        Attributes attributes;
        QByteArray secret;
    };

    std::int32_t add(const Attributes& attributes, const QByteArray& secret) override;
    std::int32_t copyMatching(const Attributes& attributes, QByteArray& secret) override;
    std::int32_t remove(const Attributes& attributes) override;

    /** Puts an item in place without recording a call, as if stored by another program. */
    void put(const QString& service, const QString& account, const QByteArray& secret);
    /** The secret of the item, if there is one. */
    [[nodiscard]] std::optional<QByteArray> secret(const QString& service,
                                                   const QString& account) const;

    /** Every later add for this account fails with status and stores nothing. */
    void failAdd(const QString& account, std::int32_t status);
    /** Every later call answers status, as a store that cannot be reached; 0 ends it. */
    void failEverything(std::int32_t status);

    [[nodiscard]] const QList<Item>& items() const { return m_items; }
    [[nodiscard]] const QStringList& calls() const { return m_calls; }
    void clearCalls() { m_calls.clear(); }

private:
    QList<Item> m_items;
    QStringList m_calls;
    QList<std::pair<QString, std::int32_t>> m_failingAdds;
    std::int32_t m_failEverything = success;
};
