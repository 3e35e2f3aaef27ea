#pragma once

#include "Models/ApiError.h"
#include "Models/EnrollResponse.h"
#include "Platform/BundleInfo.h"
#include "Platform/DeviceFacts.h"
#include "Services/ApiClient.h"
#include "Services/KeychainStore.h"
#include "Support/Observable.h"

#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>

/**
 * The device's session: whether it is paired, under which identifiers, with which token. It
 * restores the session from the keychain at start, pairs with a six-digit code, saves a renewed
 * token and unpairs locally, and keeps the client's bearer token in step. Its properties change
 * only through its own operations, in the documented order (identifiers before enrolled).
 * Lives on the main thread; no operation throws to its caller.
 */
class AuthStore : public RenewedTokenReceiver {
    Q_OBJECT
public:
    /**
     * api, keychain and facts must outlive the store; the bundle is copied. Queues the start-up
     * task (attach to the client, then bootstrap()) on the event loop and returns at once.
     */
    AuthStore(ApiClient& api, KeychainStore& keychain,
              const DeviceFacts& facts = DeviceFacts::system(),
              const BundleInfo& bundle = BundleInfo::main(), QObject* parent = nullptr);

    /** Published: a device token and a device identifier are known and the client holds the token.
     */
    [[nodiscard]] Observable<bool>& enrolled() { return m_enrolled; }
    [[nodiscard]] Observable<std::optional<QUuid>>& deviceId() { return m_deviceId; }
    [[nodiscard]] Observable<std::optional<QUuid>>& childId() { return m_childId; }
    /** Known only after a pairing made in this run; never restored. */
    [[nodiscard]] Observable<std::optional<QUuid>>& tenantId() { return m_tenantId; }
    /** True until the first restore has finished; then false for good. */
    [[nodiscard]] Observable<bool>& isBootstrapping() { return m_isBootstrapping; }
    /** The outcome of the last failed pairing; cleared only when the next pairing starts. */
    [[nodiscard]] Observable<std::optional<ApiError>>& lastError() { return m_lastError; }

    /** Restores the session from the keychain: paired only with a token and a device identifier. */
    QCoro::Task<void> bootstrap();
    /** Pairs the device; every failure ends in lastError. */
    QCoro::Task<void> enroll(QString pairingCode);
    /** Forgets the session here (keychain and client token); the service is not told. */
    QCoro::Task<void> unenroll();
    /**
     * Saves a token the client already uses. A failed save (keychain locked or away) is kept
     * for saveUnsavedToken, so that the next start does not restore the replaced token.
     */
    void applyRenewedToken(const QString& token) override;
    /**
     * Saves a renewed token whose save failed, when the client still uses it and the keychain
     * still holds the token it replaced (one the other program saved meanwhile wins); does
     * nothing otherwise. Reads the keychain only while such a token is pending.
     */
    void saveUnsavedToken();
    /**
     * After the service refused `refused`: when the session is paired and the keychain holds a
     * present, non-empty token other than it, with a device identifier (the other program of
     * the device saved a renewed token, or paired anew), the client takes that token, the
     * identifiers follow the keychain's, and true is returned; otherwise nothing changes and
     * false is returned. Reads the keychain: for a refusal, not for every request.
     */
    bool adoptSavedToken(const std::optional<QString>& refused);

private:
    QCoro::Task<void> startUp();
    QCoro::Task<void> applyEnrollment(EnrollResponse response);
    [[nodiscard]] QString osVersionString() const;
    [[nodiscard]] QString appVersionString() const;

    ApiClient& m_api;
    KeychainStore& m_keychain;
    const DeviceFacts& m_facts;
    const BundleInfo m_bundle;

    // The token this store last read from or wrote to the keychain, and a renewed one it could
    // not write.
    std::optional<QString> m_keychainToken;
    std::optional<QString> m_unsavedToken;

    Observable<bool> m_enrolled{false};
    Observable<std::optional<QUuid>> m_deviceId{std::nullopt};
    Observable<std::optional<QUuid>> m_childId{std::nullopt};
    Observable<std::optional<QUuid>> m_tenantId{std::nullopt};
    Observable<bool> m_isBootstrapping{true};
    Observable<std::optional<ApiError>> m_lastError{std::nullopt};
};
