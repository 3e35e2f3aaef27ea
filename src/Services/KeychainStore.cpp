#include "Services/KeychainStore.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

KeychainStore::KeychainStore(QString service, SecretStore& store)
    : m_service(std::move(service)), m_store(store)
{
}

KeychainStore& KeychainStore::shared()
{
    static auto* store = new KeychainStore();
    return *store;
}

void KeychainStore::saveDeviceToken(const QString& token)
{
    saveString(token, m_refreshAccount);
}

std::optional<QString> KeychainStore::readDeviceToken() const
{
    return readString(m_refreshAccount);
}

void KeychainStore::saveDeviceId(const QUuid& id)
{
    saveUuid(id, m_deviceIdAccount);
}

std::optional<QUuid> KeychainStore::readDeviceId() const
{
    return readUuid(m_deviceIdAccount);
}

void KeychainStore::saveChildId(const QUuid& id)
{
    saveUuid(id, m_childIdAccount);
}

std::optional<QUuid> KeychainStore::readChildId() const
{
    return readUuid(m_childIdAccount);
}

void KeychainStore::clear()
{
    for (const QString* account : {&m_refreshAccount, &m_deviceIdAccount, &m_childIdAccount})
        m_store.remove(baseQuery(*account));
}

SecretStore::Attributes KeychainStore::baseQuery(const QString& account) const
{
    return {{QStringLiteral("service"), m_service}, {QStringLiteral("account"), account}};
}

void KeychainStore::saveString(const QString& text, const QString& account)
{
    QStringEncoder encoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        throw KeychainStoreError::encodingFailed();
    // Delete, then add: a failed add leaves the account without an item, never the old value.
    m_store.remove(baseQuery(account));
    if (const auto status = m_store.add(baseQuery(account), bytes); status != SecretStore::success)
        throw KeychainStoreError::keychainFailure(status);
}

std::optional<QString> KeychainStore::readString(const QString& account) const
{
    QByteArray bytes;
    if (m_store.copyMatching(baseQuery(account), bytes) != SecretStore::success)
        return std::nullopt;
    // The bytes exactly: a byte order mark is kept, and anything that is not UTF-8 is absent.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                       QStringConverter::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void KeychainStore::saveUuid(const QUuid& id, const QString& account)
{
    saveString(id.toString(QUuid::WithoutBraces).toUpper(), account);
}

std::optional<QUuid> KeychainStore::readUuid(const QString& account) const
{
    // The canonical hyphenated form only, in either case.
    // (anchored at the very end: "$" would also match before a trailing line break)
    static const QRegularExpression canonical(QRegularExpression::anchoredPattern(QStringLiteral(
        "[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")));
    const auto text = readString(account);
    if (!text || !canonical.match(*text).hasMatch())
        return std::nullopt;
    return QUuid::fromString(*text);
}
