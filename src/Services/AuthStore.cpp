#include "Services/AuthStore.h"

#include "Models/EnrollRequest.h"
#include "Services/DeviceFingerprint.h"
#include "Services/PairingCode.h"
#include "Support/UnicodeText.h"

#include <QPointer>
#include <QTimer>

#include <utility>

AuthStore::AuthStore(ApiClient& api, KeychainStore& keychain, const DeviceFacts& facts,
                     const BundleInfo& bundle, QObject* parent)
    : RenewedTokenReceiver(parent), m_api(api), m_keychain(keychain), m_facts(facts),
      m_bundle(bundle)
{
    // The start-up task runs once the event loop turns; the constructor does not wait for it.
    QTimer::singleShot(0, this, [this] { startUp(); });
}

QCoro::Task<void> AuthStore::startUp()
{
    m_api.attach(this);
    co_await bootstrap();
}

QCoro::Task<void> AuthStore::bootstrap()
{
    const auto token = m_keychain.readDeviceToken();
    if (!token) {
        m_isBootstrapping.set(false);
        co_return;
    }
    // A token without a device identifier is no session: it stays in the keychain, unused.
    const auto deviceId = m_keychain.readDeviceId();
    if (!deviceId) {
        m_isBootstrapping.set(false);
        co_return;
    }
    m_api.setAccessToken(*token);
    m_keychainToken = token;
    const auto childId = m_keychain.readChildId();

    m_childId.set(childId);
    m_deviceId.set(deviceId);
    m_enrolled.set(true);
    m_isBootstrapping.set(false);
}

QCoro::Task<void> AuthStore::enroll(QString pairingCode)
{
    const QPointer<AuthStore> self(this);
    m_lastError.set(std::nullopt);

    const QString code = UnicodeText::trimWhiteSpace(pairingCode);
    if (!isPairingCode(code)) {
        m_lastError.set(ApiError::unexpected(QStringLiteral("Pairing code must be 6 digits")));
        co_return;
    }

    EnrollRequest request =
        EnrollRequest::make(code, DeviceFingerprint::generate(m_facts),
                            m_facts.hostDisplayName().value_or(QStringLiteral("Mac")),
                            osVersionString(), appVersionString(), QStringLiteral("MACOS"));

    std::optional<EnrollResponse> response;
    std::optional<ApiError> failure;
    try {
        response = co_await m_api.enroll(std::move(request));
    } catch (const ApiError& error) {
        failure = error;
    } catch (const std::exception& error) {
        failure = ApiError::unexpected(QString::fromUtf8(error.what()));
    } catch (...) {
        failure = ApiError::unexpected(QStringLiteral("Unknown error"));
    }
    if (!self)
        co_return; // the store went away while the service was asked
    if (failure) {
        m_lastError.set(std::move(failure));
        co_return;
    }
    co_await applyEnrollment(std::move(*response));
}

QCoro::Task<void> AuthStore::applyEnrollment(EnrollResponse response)
{
    // At the first failed save nothing is published and the client keeps its token; what was
    // saved before stays in the keychain.
    try {
        m_keychain.saveDeviceToken(response.deviceToken);
        m_keychain.saveDeviceId(response.deviceId);
        m_keychain.saveChildId(response.childId);
    } catch (...) {
        m_lastError.set(
            ApiError::unexpected(QStringLiteral("Could not secure device credentials")));
        co_return;
    }
    m_api.setAccessToken(response.deviceToken);
    m_keychainToken = response.deviceToken;
    m_unsavedToken.reset();

    m_deviceId.set(response.deviceId);
    m_childId.set(response.childId);
    m_tenantId.set(response.tenantId);
    m_enrolled.set(true);
}

QCoro::Task<void> AuthStore::unenroll()
{
    m_keychain.clear();
    m_api.setAccessToken(std::nullopt);
    m_keychainToken.reset();
    m_unsavedToken.reset();

    m_deviceId.set(std::nullopt);
    m_childId.set(std::nullopt);
    m_tenantId.set(std::nullopt);
    m_enrolled.set(false);
    co_return;
}

void AuthStore::applyRenewedToken(const QString& token)
{
    try {
        m_keychain.saveDeviceToken(token);
        m_keychainToken = token;
        m_unsavedToken.reset();
    } catch (...) {
        // The client already uses the token for this run; saved later if the keychain lets.
        m_unsavedToken = token;
    }
}

void AuthStore::saveUnsavedToken()
{
    if (!m_unsavedToken)
        return;
    if (m_api.accessToken() != m_unsavedToken) {
        m_unsavedToken.reset();
        return;
    }
    const std::optional<QString> saved = m_keychain.readDeviceToken();
    if (!saved)
        return; // still unreadable, or the other program unpaired: nothing to replace now
    if (saved != m_keychainToken) {
        m_unsavedToken.reset(); // the other program saved a token of its own meanwhile
        return;
    }
    try {
        m_keychain.saveDeviceToken(*m_unsavedToken);
        m_keychainToken = std::exchange(m_unsavedToken, std::nullopt);
    } catch (...) {
    }
}

bool AuthStore::adoptSavedToken(const std::optional<QString>& refused)
{
    if (!m_enrolled.get())
        return false;
    const std::optional<QString> saved = m_keychain.readDeviceToken();
    if (!saved || saved->isEmpty() || saved == refused)
        return false;
    // As at a restore: a token without a device identifier is no session.
    const std::optional<QUuid> deviceId = m_keychain.readDeviceId();
    if (!deviceId)
        return false;
    m_api.setAccessToken(*saved);
    m_keychainToken = saved;
    m_unsavedToken.reset();
    // The other program may have paired the device anew: follow its identifiers too.
    if (deviceId != m_deviceId.get()) {
        m_childId.set(m_keychain.readChildId());
        m_deviceId.set(deviceId);
        m_tenantId.set(std::nullopt);
    }
    return true;
}

QString AuthStore::osVersionString() const
{
    const OsVersion version = m_facts.osVersion();
    return QStringLiteral("macOS %1.%2.%3")
        .arg(version.majorVersion)
        .arg(version.minorVersion)
        .arg(version.patchVersion);
}

QString AuthStore::appVersionString() const
{
    return m_bundle.text("CFBundleShortVersionString").value_or(QStringLiteral("0.0.0")) +
           QLatin1Char('.') + m_bundle.text("CFBundleVersion").value_or(QStringLiteral("0"));
}
