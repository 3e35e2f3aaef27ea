#include "TestSupport/InMemorySecretStore.h"

namespace {

SecretStore::Attributes address(const QString& service, const QString& account)
{
    return {{QStringLiteral("service"), service}, {QStringLiteral("account"), account}};
}

QString accountOf(const SecretStore::Attributes& attributes)
{
    return attributes.value(QStringLiteral("account"));
}

} // namespace

std::int32_t InMemorySecretStore::add(const Attributes& attributes, const QByteArray& secret)
{
    m_calls << QStringLiteral("add ") + accountOf(attributes);
    if (!isItemAddress(attributes))
        return invalidAttributes;
    if (m_failEverything != success)
        return m_failEverything;
    for (const auto& [account, status] : m_failingAdds)
        if (account == accountOf(attributes))
            return status;
    // Like the Secret Service, an item with exactly the same attributes is replaced.
    m_items.removeIf([&](const Item& item) { return item.attributes == attributes; });
    m_items.push_back({attributes, secret});
    return success;
}

std::int32_t InMemorySecretStore::copyMatching(const Attributes& attributes, QByteArray& secret)
{
    m_calls << QStringLiteral("copy ") + accountOf(attributes);
    if (!isItemAddress(attributes))
        return invalidAttributes;
    if (m_failEverything != success)
        return m_failEverything;
    for (const auto& item : m_items) {
        if (item.attributes == attributes) {
            secret = item.secret;
            return success;
        }
    }
    return itemNotFound;
}

std::int32_t InMemorySecretStore::remove(const Attributes& attributes)
{
    m_calls << QStringLiteral("remove ") + accountOf(attributes);
    if (!isItemAddress(attributes))
        return invalidAttributes;
    if (m_failEverything != success)
        return m_failEverything;
    const auto removed =
        m_items.removeIf([&](const Item& item) { return item.attributes == attributes; });
    return removed > 0 ? success : itemNotFound;
}

void InMemorySecretStore::put(const QString& service, const QString& account,
                              const QByteArray& secret)
{
    const Attributes attributes = address(service, account);
    m_items.removeIf([&](const Item& item) { return item.attributes == attributes; });
    m_items.push_back({attributes, secret});
}

std::optional<QByteArray> InMemorySecretStore::secret(const QString& service,
                                                      const QString& account) const
{
    const Attributes attributes = address(service, account);
    for (const auto& item : m_items)
        if (item.attributes == attributes)
            return item.secret;
    return std::nullopt;
}

void InMemorySecretStore::failAdd(const QString& account, std::int32_t status)
{
    m_failingAdds.push_back({account, status});
}

void InMemorySecretStore::failEverything(std::int32_t status)
{
    m_failEverything = status;
}
