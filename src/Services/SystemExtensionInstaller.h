#pragma once

#include "Platform/SystemExtensionManager.h"
#include "Support/Observable.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>

/**
 * Asks the system to activate or deactivate the two filtering extensions and publishes the
 * state of each extension's latest request. Main thread only, like everything it publishes.
 */
class SystemExtensionInstaller : public QObject {
    Q_OBJECT
public:
    enum class Extension { dnsProxy, contentFilter };

    /** Every extension, in case order. */
    static constexpr std::array<Extension, 2> allExtensions{Extension::dnsProxy,
                                                            Extension::contentFilter};

    /** The extension's bundle identifier, its text form. */
    static QString identifier(Extension extension);

    /** The extension whose identifier is exactly the text, if any. */
    static std::optional<Extension> extensionFromIdentifier(const QString& identifier);

    class ActivationState {
    public:
        enum class Case { failed, idle, submitting, needsUserApproval, active };

        static ActivationState failed(QString message)
        {
            return {Case::failed, std::move(message)};
        }
        static ActivationState idle() { return {Case::idle, {}}; }
        static ActivationState submitting() { return {Case::submitting, {}}; }
        static ActivationState needsUserApproval() { return {Case::needsUserApproval, {}}; }
        static ActivationState active() { return {Case::active, {}}; }

        [[nodiscard]] Case kind() const { return m_case; }
        /** The message for the user; empty unless the case is failed. */
        [[nodiscard]] const QString& message() const { return m_message; }

        bool operator==(const ActivationState&) const = default;

    private:
        ActivationState(Case c, QString message) : m_case(c), m_message(std::move(message)) {}

        Case m_case;
        QString m_message;
    };

    using StateMap = std::map<Extension, ActivationState>;

    /** Starts with every extension idle and nothing in flight. */
    explicit SystemExtensionInstaller(SystemExtensionManager& manager, QObject* parent = nullptr);
    ~SystemExtensionInstaller() override;

    /** The process-wide installer over the system's manager; first use on the main thread. */
    static SystemExtensionInstaller& shared();

    [[nodiscard]] const StateMap& state() const { return m_state.get(); }

    /** The current map at once, then the whole map after every write. */
    [[nodiscard]] Subscription subscribeToState(std::function<void(const StateMap&)> handler);

    /** Submits an activation request; the extension is submitting when this returns. */
    void activate(Extension extension);
    void activateAll();
    /**
     * Submits a deactivation request for each extension; the state waits for the answers. A
     * completed deactivation publishes idle; every other answer publishes what it would for an
     * activation.
     */
    void deactivateAll();

    [[nodiscard]] bool isActive(Extension extension) const;
    [[nodiscard]] bool allActive() const;

private:
    class RequestDelegate;

    void setState(Extension extension, const ActivationState& state);
    std::function<void(const ActivationState&)>
    terminalStep(Extension extension, SystemExtensionManager::RequestKind kind);

    SystemExtensionManager& m_manager;
    Observable<StateMap> m_state;
    std::map<Extension, std::shared_ptr<RequestDelegate>> m_inflight;
};
