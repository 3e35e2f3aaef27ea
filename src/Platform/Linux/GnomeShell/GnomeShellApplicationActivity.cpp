#include "Platform/Linux/GnomeShell/GnomeShellApplicationActivity.h"

#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/BackendThread.h"
#include "Platform/Linux/FrontmostFeed.h"
#include "Platform/Linux/PrivateSessionBus.h"
#include "Platform/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <atomic>
#include <mutex>

namespace {

constexpr auto shellService = "org.gnome.Shell";
constexpr auto shellPath = "/org/gnome/Shell";
constexpr int callTimeoutMs = 5000;
constexpr int frontmostWaitMs = 2000;

std::atomic<int> instances{0};

// Why there is no application, so that each reason is logged once when it arises.
enum class Status { unknown, tracking, noShell, extensionOff, foreignOwner, badAnswer };

QDBusMessage shellCall(const QDBusConnection& bus, const QString& interface, const QString& method,
                       const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromLatin1(shellService), QString::fromLatin1(shellPath), interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, callTimeoutMs);
}

QString shellVersion(const QDBusConnection& bus)
{
    const QDBusMessage reply =
        shellCall(bus, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                  {QStringLiteral("org.gnome.Shell"), QStringLiteral("ShellVersion")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toString().left(64);
}

// The extension's state as the Shell's extension service tells it, in words.
QString extensionState(const QDBusConnection& bus, const QString& uuid)
{
    const QDBusMessage reply = shellCall(bus, QStringLiteral("org.gnome.Shell.Extensions"),
                                         QStringLiteral("GetExtensionInfo"), {uuid});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QStringLiteral("in an unknown state");
    const QVariantMap info = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    if (info.isEmpty())
        return QStringLiteral("not installed");
    switch (info.value(QStringLiteral("state")).toInt()) {
    case 1:
        return QStringLiteral("enabled but not answering");
    case 3:
        return QStringLiteral("failing");
    case 4:
        return QStringLiteral("made for another Shell version");
    case 99:
        return QStringLiteral("uninstalled");
    default:
        return QStringLiteral("disabled");
    }
}

QString stringAt(const QVariantList& values, int i)
{
    return values.value(i).toString();
}

} // namespace

struct GnomeShellApplicationActivity::Shared {
    FrontmostFeed feed;
    std::shared_ptr<const ApplicationIdentity> identity;
};

class GnomeShellApplicationActivity::Worker : public QObject {
    Q_OBJECT

public:
    explicit Worker(std::shared_ptr<Shared> shared)
        : m_shared(std::move(shared)),
          m_connectionName(QStringLiteral("orvane-gnome-shell-%1").arg(instances.fetch_add(1)))
    {
    }

    ~Worker() override
    {
        // The watcher goes before its connection.
        delete m_watcher;
    }

    void startTracking()
    {
        if (m_bus)
            return;
        m_shared->identity->warmUp();
        m_bus.emplace(m_connectionName, QStringLiteral("GNOME Shell"));
        if (!m_bus->isConnected()) {
            m_shared->feed.publish(std::nullopt);
            return;
        }
        m_watcher = new QDBusServiceWatcher(this);
        m_watcher->setConnection(bus());
        m_watcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
        m_watcher->setWatchedServices(
            {QString::fromLatin1(shellService), QString::fromLatin1(busName)});
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { refresh(); });
        bus().connect(QString::fromLatin1(busName), QString::fromLatin1(objectPath),
                      QString::fromLatin1(interfaceName), QStringLiteral("FocusChanged"), this,
                      SLOT(focusChanged(QDBusMessage)));
        refresh();
    }

public Q_SLOTS:
    void focusChanged(const QDBusMessage& message)
    {
        // Only the Shell's own connection speaks for the desktop.
        if (m_status != Status::tracking || message.service() != m_extensionOwner)
            return;
        take(message.arguments());
    }

private:
    QDBusConnection& bus() { return m_bus->connection(); }

    // Learns who holds both names and, when the extension runs in the Shell, asks it.
    void refresh()
    {
        const auto owner = [this](const char* name) {
            return bus().interface()->serviceOwner(QString::fromLatin1(name)).value();
        };
        const QString shell = owner(shellService);
        const QString extension = owner(busName);
        if (shell.isEmpty()) {
            enter(Status::noShell, QStringLiteral("GNOME Shell is not on the session bus: no "
                                                  "foreground application until it is"));
            return;
        }
        if (extension.isEmpty()) {
            const QString uuid = extensionUuid(shellVersion(bus()));
            enter(Status::extensionOff,
                  QStringLiteral("GNOME Shell's extension %1 is %2: no foreground application "
                                 "until it runs; enable it with \"gnome-extensions enable %1\"")
                      .arg(uuid, extensionState(bus(), uuid)));
            return;
        }
        if (extension != shell) {
            enter(Status::foreignOwner,
                  QStringLiteral("The bus name %1 is held by a program other than GNOME Shell: "
                                 "its reports are ignored")
                      .arg(QString::fromLatin1(busName)));
            return;
        }
        m_extensionOwner = extension;
        QDBusMessage message = QDBusMessage::createMethodCall(
            extension, QString::fromLatin1(objectPath), QString::fromLatin1(interfaceName),
            QStringLiteral("Focus"));
        const QDBusMessage reply = bus().call(message, QDBus::Block, callTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || !take(reply.arguments())) {
            enter(Status::badAnswer,
                  QStringLiteral("GNOME Shell's activity extension did not answer (%1): no "
                                 "foreground application")
                      .arg(reply.type() == QDBusMessage::ErrorMessage
                               ? reply.errorName().left(200)
                               : QStringLiteral("unexpected reply")));
            return;
        }
        if (m_status != Status::tracking)
            Log::plain(QStringLiteral("Foreground application tracking follows GNOME Shell "
                                      "through its activity extension"));
        m_status = Status::tracking;
    }

    // A state without an application, logged when it is new.
    void enter(Status status, const QString& line)
    {
        m_extensionOwner.clear();
        if (status != m_status)
            Log::plain(line);
        m_status = status;
        m_shared->feed.publish(std::nullopt);
    }

    // (appId, wmClass, wmClassInstance, gtkApplicationId, pid); false when it is not that.
    bool take(const QVariantList& values)
    {
        if (values.size() != 5 || values.at(4).userType() != QMetaType::UInt)
            return false;
        for (int i = 0; i < 4; ++i)
            if (values.at(i).userType() != QMetaType::QString)
                return false;
        WindowHints hints;
        hints.appId = stringAt(values, 0);
        hints.wmClassClass = stringAt(values, 1);
        hints.wmClassInstance = stringAt(values, 2);
        hints.gtkApplicationId = stringAt(values, 3);
        hints.pid = values.at(4).toUInt();
        // No focus reads as a window without a desktop entry: no application.
        m_shared->feed.publishWindow(m_shared->identity->resolve(hints));
        return true;
    }

    std::shared_ptr<Shared> m_shared;
    QString m_connectionName;
    std::optional<PrivateSessionBus> m_bus; // once tracking has started
    QDBusServiceWatcher* m_watcher = nullptr;
    QString m_extensionOwner;
    Status m_status = Status::unknown;
};

GnomeShellApplicationActivity::GnomeShellApplicationActivity(
    std::shared_ptr<const ApplicationIdentity> identity)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->identity = identity ? std::move(identity) : ApplicationIdentity::fromEnvironment();
    m_worker = new Worker(m_shared);
    m_thread =
        std::make_unique<BackendThread>(QStringLiteral("ai.orvane.activity.gnome-shell"), m_worker);
}

GnomeShellApplicationActivity::~GnomeShellApplicationActivity() = default;

std::optional<RunningApplication> GnomeShellApplicationActivity::frontmostApplication()
{
    QMetaObject::invokeMethod(m_worker, &Worker::startTracking, Qt::QueuedConnection);
    return m_shared->feed.frontmost(frontmostWaitMs);
}

Subscription GnomeShellApplicationActivity::addActivationObserver(ActivationHandler handler)
{
    Subscription subscription = m_shared->feed.observers.add(std::move(handler));
    QMetaObject::invokeMethod(m_worker, &Worker::startTracking, Qt::QueuedConnection);
    return subscription;
}

QString GnomeShellApplicationActivity::extensionUuid(const QString& shellVersion)
{
    bool ok = false;
    const int major = shellVersion.section(u'.', 0, 0).toInt(&ok);
    // An unknown version is taken as a current Shell.
    return ok && major < 45 ? QStringLiteral("activity-legacy@orvane.ai")
                            : QStringLiteral("activity@orvane.ai");
}

bool GnomeShellApplicationActivity::enableExtension()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const QString version = bus.isConnected() ? shellVersion(bus) : QString();
    if (version.isEmpty()) {
        Log::plain(QStringLiteral("GNOME Shell's activity extension was not enabled: GNOME Shell "
                                  "is not on the session bus"));
        return false;
    }
    const QString uuid = extensionUuid(version);
    const QDBusMessage reply = shellCall(bus, QStringLiteral("org.gnome.Shell.Extensions"),
                                         QStringLiteral("EnableExtension"), {uuid});
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        reply.arguments().constFirst().toBool())
        return true;
    Log::plain(QStringLiteral("GNOME Shell's extension %1 could not be enabled (%2); enable it "
                              "with \"gnome-extensions enable %1\"")
                   .arg(uuid, reply.type() == QDBusMessage::ErrorMessage
                                  ? reply.errorName().left(200)
                                  : extensionState(bus, uuid)));
    return false;
}

#include "GnomeShellApplicationActivity.moc"
