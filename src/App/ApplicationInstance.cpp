#include "App/ApplicationInstance.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString applicationInterface = QStringLiteral("org.freedesktop.Application");
// A running instance answers at once; one that does not within this is not usable.
constexpr int activateTimeoutMs = 10000;

/** The freedesktop application interface: every entry point shows the panel. */
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(ApplicationInstance* instance)
        : QDBusAbstractAdaptor(instance), m_instance(instance)
    {
    }

public Q_SLOTS:
    void Activate(const QVariantMap&) { Q_EMIT m_instance->activated(); }
    void Open(const QStringList&, const QVariantMap&) { Q_EMIT m_instance->activated(); }
    void ActivateAction(const QString&, const QVariantList&, const QVariantMap&)
    {
        Q_EMIT m_instance->activated();
    }

private:
    ApplicationInstance* m_instance;
};

} // namespace

ApplicationInstance::ApplicationInstance(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
}

ApplicationInstance::~ApplicationInstance()
{
    if (m_owned) {
        m_bus.unregisterObject(QString::fromLatin1(objectPath));
        m_bus.unregisterService(QString::fromLatin1(serviceName));
    }
}

ApplicationInstance::Role ApplicationInstance::claim()
{
    QDBusConnectionInterface* names = m_bus.isConnected() ? m_bus.interface() : nullptr;
    if (!names)
        return Role::alone;
    // The object first, so an activation that arrives right after the name is answered.
    new ApplicationAdaptor(this);
    if (!m_bus.registerObject(QString::fromLatin1(objectPath), this))
        return Role::alone;
    const auto reply = names->registerService(QString::fromLatin1(serviceName),
                                              QDBusConnectionInterface::DontQueueService,
                                              QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_owned = true;
        return Role::primary;
    }
    m_bus.unregisterObject(QString::fromLatin1(objectPath));
    // Refused because another process owns it; any other failure leaves nothing to talk to.
    if (reply.isValid() || names->isServiceRegistered(QString::fromLatin1(serviceName)).value())
        return Role::secondary;
    return Role::alone;
}

bool ApplicationInstance::activateRunning()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(serviceName), QString::fromLatin1(objectPath), applicationInterface,
        QStringLiteral("Activate"));
    call << QVariantMap();
    const QDBusMessage answer = m_bus.call(call, QDBus::Block, activateTimeoutMs);
    return answer.type() == QDBusMessage::ReplyMessage;
}

#include "ApplicationInstance.moc"
