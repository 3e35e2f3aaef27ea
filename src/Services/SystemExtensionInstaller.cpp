#include "Services/SystemExtensionInstaller.h"

#include "Platform/Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace {

const QString subsystem = QStringLiteral("ai.orvane.mac");
const QString installerCategory = QStringLiteral("sysext");
const QString requestCategory = QStringLiteral("sysext.request");

const QString activationFailedText = QStringLiteral("Activation failed — see Console.app");
const QString unknownResultText = QStringLiteral("unknown result");

} // namespace

using ActivationState = SystemExtensionInstaller::ActivationState;
using Extension = SystemExtensionInstaller::Extension;

/** Answers one request for one extension and hands its terminal state to the installer. */
class SystemExtensionInstaller::RequestDelegate : public SystemExtensionRequestDelegate {
public:
    RequestDelegate(Extension extension, std::function<void(const ActivationState&)> onTerminal)
        : m_extension(extension), m_onTerminal(std::move(onTerminal))
    {
    }

    int actionForReplacingExtension(const QString& existingVersion,
                                    const QString& newVersion) override
    {
        log(Log::Level::info,
            QStringLiteral("replace existing=%1 with=%2").arg(existingVersion, newVersion));
        // Whatever the versions: the extension shipped with this program is the one to run.
        return replaceAction;
    }

    void requestNeedsUserApproval() override
    {
        log(Log::Level::info, QStringLiteral("needs user approval for %1").arg(identifier()));
        m_onTerminal(ActivationState::needsUserApproval());
    }

    void didFinishWithResult(int result) override
    {
        log(Log::Level::info,
            QStringLiteral("finished %1 result=%2").arg(identifier()).arg(result));
        switch (result) {
        case 0:
            m_onTerminal(ActivationState::active());
            break;
        case 1: // completes after a restart
            m_onTerminal(ActivationState::needsUserApproval());
            break;
        default:
            m_onTerminal(ActivationState::failed(unknownResultText));
            break;
        }
    }

    void didFailWithError(const QString& error) override
    {
        log(Log::Level::error, QStringLiteral("failed %1 err=%2").arg(identifier(), error));
        // The error's own text is for the log; the user gets the fixed text.
        m_onTerminal(ActivationState::failed(activationFailedText));
    }

private:
    QString identifier() const { return SystemExtensionInstaller::identifier(m_extension); }

    static void log(Log::Level level, const QString& message)
    {
        Log::write(subsystem, requestCategory, level, message);
    }

    const Extension m_extension;
    const std::function<void(const ActivationState&)> m_onTerminal;
};

QString SystemExtensionInstaller::identifier(Extension extension)
{
    switch (extension) {
    case Extension::dnsProxy:
        return QStringLiteral("ai.orvane.mac.dnsproxy");
    case Extension::contentFilter:
        return QStringLiteral("ai.orvane.mac.contentfilter");
    }
    return {};
}

std::optional<Extension> SystemExtensionInstaller::extensionFromIdentifier(const QString& text)
{
    for (const auto extension : allExtensions)
        if (identifier(extension) == text)
            return extension;
    return std::nullopt;
}

SystemExtensionInstaller::SystemExtensionInstaller(SystemExtensionManager& manager, QObject* parent)
    : QObject(parent), m_manager(manager)
{
    for (const auto extension : allExtensions)
        setState(extension, ActivationState::idle());
}

// Delegates still held by the manager find the installer gone and change nothing.
SystemExtensionInstaller::~SystemExtensionInstaller() = default;

SystemExtensionInstaller& SystemExtensionInstaller::shared()
{
    static auto* const installer = new SystemExtensionInstaller(SystemExtensionManager::system());
    return *installer;
}

Subscription
SystemExtensionInstaller::subscribeToState(std::function<void(const StateMap&)> handler)
{
    return m_state.subscribe(std::move(handler));
}

void SystemExtensionInstaller::activate(Extension extension)
{
    Log::write(subsystem, installerCategory, Log::Level::info,
               QStringLiteral("activate %1").arg(identifier(extension)));
    auto delegate = std::make_shared<RequestDelegate>(
        extension, terminalStep(extension, SystemExtensionManager::RequestKind::activation));
    m_inflight[extension] = delegate;
    setState(extension, ActivationState::submitting());
    m_manager.submitRequest(SystemExtensionManager::RequestKind::activation, identifier(extension),
                            std::move(delegate));
}

void SystemExtensionInstaller::activateAll()
{
    for (const auto extension : allExtensions)
        activate(extension);
}

void SystemExtensionInstaller::deactivateAll()
{
    for (const auto extension : allExtensions) {
        auto delegate = std::make_shared<RequestDelegate>(
            extension, terminalStep(extension, SystemExtensionManager::RequestKind::deactivation));
        m_inflight[extension] = delegate;
        m_manager.submitRequest(SystemExtensionManager::RequestKind::deactivation,
                                identifier(extension), std::move(delegate));
    }
}

bool SystemExtensionInstaller::isActive(Extension extension) const
{
    const auto it = state().find(extension);
    return it != state().end() && it->second == ActivationState::active();
}

bool SystemExtensionInstaller::allActive() const
{
    for (const auto extension : allExtensions)
        if (!isActive(extension))
            return false;
    return true;
}

void SystemExtensionInstaller::setState(Extension extension, const ActivationState& state)
{
    StateMap map = m_state.get();
    map.insert_or_assign(extension, state);
    m_state.set(std::move(map));
}

std::function<void(const ActivationState&)>
SystemExtensionInstaller::terminalStep(Extension extension,
                                       SystemExtensionManager::RequestKind kind)
{
    QPointer<SystemExtensionInstaller> weak(this);
    return [weak, extension, kind](const ActivationState& answer) {
        // A completed deactivation leaves the extension inactive, not active.
        const ActivationState next = kind == SystemExtensionManager::RequestKind::deactivation &&
                                             answer == ActivationState::active()
                                         ? ActivationState::idle()
                                         : answer;
        auto* const loop = QCoreApplication::instance();
        if (!loop)
            return;
        // Queued behind the delegate call, so the change is published after it returns.
        QMetaObject::invokeMethod(
            loop,
            [weak, extension, next] {
                if (!weak)
                    return;
                weak->setState(extension, next);
                weak->m_inflight.erase(extension);
            },
            Qt::QueuedConnection);
    };
}
