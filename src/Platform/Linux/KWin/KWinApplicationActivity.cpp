#include "Platform/Linux/KWin/KWinApplicationActivity.h"

#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/BackendThread.h"
#include "Platform/Linux/FrontmostFeed.h"
#include "Platform/Linux/PrivateSessionBus.h"
#include "Platform/Log.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

constexpr auto kwinService = "org.kde.KWin";
constexpr auto scriptRelativePath = "orvane/kwin/activity.js";
constexpr auto busNamePlaceholder = "@ORVANE_BUS_NAME@";
constexpr int callTimeoutMs = 5000;
constexpr int frontmostWaitMs = 2000;
constexpr qint64 maximumScriptSize = 64 * 1024;
constexpr int startRetryMs = 250;
constexpr int maximumStartRetries = 40;

std::atomic<int> instances{0};

} // namespace

struct KWinApplicationActivity::Shared {
    FrontmostFeed feed;
    std::shared_ptr<const ApplicationIdentity> identity;
    // Lets a subscription that ends late reach the worker only while it exists.
    std::mutex workerMutex;
    Worker* worker = nullptr;
};

class KWinApplicationActivity::Worker : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "ai.orvane.KWinActivity")

public:
    Worker(std::shared_ptr<Shared> shared, QString scriptPath)
        : m_shared(std::move(shared)), m_templatePath(std::move(scriptPath))
    {
        const int n = instances.fetch_add(1);
        m_busName = QStringLiteral("ai.orvane.KWinActivity.p%1_%2").arg(::getpid()).arg(n);
        m_connectionName = QStringLiteral("orvane-kwin-%1").arg(n);
        m_pluginName = QStringLiteral("orvane-activity-%1-%2").arg(::getpid()).arg(n);
    }

    ~Worker() override
    {
        m_tracking = false;
        unload();
        // The watcher goes before its connection.
        delete m_watcher;
        m_bus.reset();
        if (!m_scriptCopy.isEmpty())
            QFile::remove(m_scriptCopy);
    }

    QString pluginName() const { return m_pluginName; }

public Q_SLOTS:
    /** From the script: the window now active; all empty when none is. */
    Q_SCRIPTABLE void Activated(const QString& desktopFileName, const QString& resourceClass,
                                const QString& resourceName, const QString& pid)
    {
        // Only the running KWin speaks for the desktop.
        if (!calledFromDBus() || m_kwinOwner.isEmpty() || message().service() != m_kwinOwner)
            return;
        if (desktopFileName.isEmpty() && resourceClass.isEmpty() && resourceName.isEmpty()) {
            m_shared->feed.publish(std::nullopt);
            return;
        }
        WindowHints hints;
        hints.kdeDesktopFile = desktopFileName;
        hints.wmClassClass = resourceClass;
        hints.wmClassInstance = resourceName;
        hints.pid = pid.size() <= 10 ? pid.toLongLong() : 0;
        m_shared->feed.publishWindow(m_shared->identity->resolve(hints));
    }

    void startTracking()
    {
        if (m_tracking)
            return;
        m_tracking = true;
        m_shared->identity->warmUp();
        if (!connectBus()) {
            m_shared->feed.publish(std::nullopt);
            return;
        }
        load();
    }

    void stopTracking()
    {
        if (!m_tracking || m_shared->feed.observers.count() > 0)
            return;
        m_tracking = false;
        unload();
        m_shared->feed.forget();
    }

private:
    bool connectBus()
    {
        if (m_bus)
            return true;
        m_bus.emplace(m_connectionName, QStringLiteral("KWin"));
        if (!m_bus->isConnected()) {
            m_bus.reset();
            return false;
        }
        if (!bus().registerObject(QStringLiteral("/Activity"), this,
                                  QDBusConnection::ExportScriptableSlots) ||
            !bus().registerService(m_busName)) {
            Log::plain(QStringLiteral("Foreground application tracking is unavailable: the bus "
                                      "name %1 is taken")
                           .arg(m_busName));
            m_bus.reset();
            return false;
        }
        m_watcher = new QDBusServiceWatcher(QString::fromLatin1(kwinService), bus(),
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &Worker::kwinOwnerChanged);
        return true;
    }

    QDBusConnection& bus() { return m_bus->connection(); }

    void kwinOwnerChanged(const QString&, const QString& oldOwner, const QString& newOwner)
    {
        if (!m_tracking)
            return;
        if (!oldOwner.isEmpty() && oldOwner == m_kwinOwner) {
            Log::plain(newOwner.isEmpty()
                           ? QStringLiteral("KWin left the session bus: no foreground "
                                            "application until it returns")
                           : QStringLiteral("KWin was replaced: loading the activity script "
                                            "into the new one"));
            m_kwinOwner.clear();
            m_loaded = false;
            m_shared->feed.publish(std::nullopt);
        }
        if (!newOwner.isEmpty()) {
            m_startRetries = 0;
            load();
        }
    }

    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(kwinService),
                                                              path, interface, method);
        message.setArguments(arguments);
        return bus().call(message, QDBus::Block, callTimeoutMs);
    }

    // The shipped script with this object's bus name in it, in a file only this user reads.
    QString writeScriptCopy()
    {
        if (!m_scriptCopy.isEmpty())
            return m_scriptCopy;
        QFile source(m_templatePath);
        if (m_templatePath.isEmpty() || !QFileInfo(m_templatePath).isFile() ||
            !source.open(QIODevice::ReadOnly) || source.size() > maximumScriptSize)
            return {};
        QByteArray script = source.read(maximumScriptSize);
        if (!script.contains(busNamePlaceholder))
            return {};
        script.replace(busNamePlaceholder, m_busName.toLatin1());
        QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            folder = QDir::tempPath();
        const QString path = QDir(folder).filePath(m_pluginName + QStringLiteral(".js"));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
            file.write(script) != script.size() || !file.commit())
            return {};
        m_scriptCopy = path;
        return path;
    }

    void load()
    {
        const QString owner = bus().interface()->serviceOwner(QString::fromLatin1(kwinService));
        if (owner.isEmpty()) {
            Log::plain(QStringLiteral("Foreground application tracking waits for KWin: it is not "
                                      "on the session bus"));
            m_shared->feed.publish(std::nullopt);
            return;
        }
        const QString path = writeScriptCopy();
        if (path.isEmpty()) {
            Log::plain(QStringLiteral("Foreground application tracking is unavailable: the KWin "
                                      "script %1 is missing or unreadable")
                           .arg(m_templatePath.isEmpty() ? QString::fromLatin1(scriptRelativePath)
                                                         : m_templatePath));
            m_shared->feed.publish(std::nullopt);
            return;
        }
        m_kwinOwner = owner;
        const QString scripting = QStringLiteral("org.kde.kwin.Scripting");
        // A copy left by an earlier run under the same name would make loading fail.
        call(QStringLiteral("/Scripting"), scripting, QStringLiteral("unloadScript"),
             {m_pluginName});
        const QDBusMessage loaded = call(QStringLiteral("/Scripting"), scripting,
                                         QStringLiteral("loadScript"), {path, m_pluginName});
        const int id = loaded.type() == QDBusMessage::ReplyMessage && !loaded.arguments().isEmpty()
                           ? loaded.arguments().constFirst().toInt()
                           : -1;
        // KWin takes its bus name before its scripting object exists: a KWin that has just
        // started is asked again, a few times, before it counts as a failure.
        if (id < 0 &&
            loaded.errorName() == QStringLiteral("org.freedesktop.DBus.Error.UnknownObject") &&
            m_startRetries < maximumStartRetries) {
            ++m_startRetries;
            m_kwinOwner.clear();
            QTimer::singleShot(startRetryMs, this, [this, owner] {
                if (m_tracking && !m_loaded && m_kwinOwner.isEmpty() &&
                    bus().interface()->serviceOwner(QString::fromLatin1(kwinService)).value() ==
                        owner)
                    load();
            });
            return;
        }
        m_startRetries = 0;
        if (id < 0) {
            Log::plain(QStringLiteral("Foreground application tracking is unavailable: KWin did "
                                      "not load the activity script (%1)")
                           .arg(loaded.type() == QDBusMessage::ErrorMessage
                                    ? loaded.errorMessage().left(200)
                                    : QStringLiteral("no script id")));
            m_kwinOwner.clear();
            m_shared->feed.publish(std::nullopt);
            return;
        }
        m_loaded = true;
        // Plasma 6 places the script's object under /Scripting, Plasma 5 at the root.
        const QString scriptInterface = QStringLiteral("org.kde.kwin.Script");
        for (const QString& objectPath :
             {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)}) {
            if (call(objectPath, scriptInterface, QStringLiteral("run")).type() ==
                QDBusMessage::ReplyMessage)
                return;
        }
        call(QStringLiteral("/Scripting"), scripting, QStringLiteral("start"));
    }

    void unload()
    {
        if (!m_loaded)
            return;
        m_loaded = false;
        if (!m_kwinOwner.isEmpty())
            call(QStringLiteral("/Scripting"), QStringLiteral("org.kde.kwin.Scripting"),
                 QStringLiteral("unloadScript"), {m_pluginName});
        m_kwinOwner.clear();
    }

    std::shared_ptr<Shared> m_shared;
    QString m_templatePath;
    QString m_busName;
    QString m_connectionName;
    QString m_pluginName;
    QString m_scriptCopy;
    QString m_kwinOwner;
    std::optional<PrivateSessionBus> m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_tracking = false;
    bool m_loaded = false;
    int m_startRetries = 0;
};

KWinApplicationActivity::KWinApplicationActivity(
    std::shared_ptr<const ApplicationIdentity> identity, const QString& scriptPath)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->identity = identity ? std::move(identity) : ApplicationIdentity::fromEnvironment();
    m_worker = new Worker(m_shared, scriptPath.isEmpty() ? scriptTemplatePath() : scriptPath);
    m_shared->worker = m_worker;
    m_thread = std::make_unique<BackendThread>(QStringLiteral("ai.orvane.activity.kwin"), m_worker);
}

KWinApplicationActivity::~KWinApplicationActivity()
{
    // A subscription that ends from now on finds no worker; the thread then ends it.
    std::lock_guard lock(m_shared->workerMutex);
    m_shared->worker = nullptr;
}

std::optional<RunningApplication> KWinApplicationActivity::frontmostApplication()
{
    QMetaObject::invokeMethod(m_worker, &Worker::startTracking, Qt::QueuedConnection);
    return m_shared->feed.frontmost(frontmostWaitMs);
}

Subscription KWinApplicationActivity::addActivationObserver(ActivationHandler handler)
{
    Subscription inner = m_shared->feed.observers.add(std::move(handler));
    QMetaObject::invokeMethod(m_worker, &Worker::startTracking, Qt::QueuedConnection);
    // The last subscription to end unloads the script; the worker may be gone by then.
    std::weak_ptr<Shared> weak = m_shared;
    return Subscription([inner = std::make_shared<Subscription>(std::move(inner)), weak] {
        inner->reset();
        if (const auto shared = weak.lock()) {
            std::lock_guard lock(shared->workerMutex);
            if (shared->worker)
                QMetaObject::invokeMethod(shared->worker, &Worker::stopTracking,
                                          Qt::QueuedConnection);
        }
    });
}

QString KWinApplicationActivity::pluginName() const
{
    return m_worker->pluginName();
}

QString KWinApplicationActivity::scriptTemplatePath()
{
    QDir dir(QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString());
    for (int up = 0; up < 4 && !dir.path().isEmpty(); ++up) {
        const QString candidate =
            dir.filePath(QStringLiteral("share/") + QString::fromLatin1(scriptRelativePath));
        if (QFileInfo(candidate).isFile())
            return candidate;
        if (!dir.cdUp())
            break;
    }
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                  QString::fromLatin1(scriptRelativePath));
}

#include "KWinApplicationActivity.moc"
