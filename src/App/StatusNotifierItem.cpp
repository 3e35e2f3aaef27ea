#include "App/StatusNotifierItem.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QtEndian>

#include <atomic>

namespace {

const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int pixmapSizes[] = {16, 22, 24, 32, 48, 64};

} // namespace

/** One pixmap of the item's icon: ARGB32 in network byte order. */
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip {
    QString iconName;
    SniPixmaps pixmaps;
    QString title;
    QString text;
};

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

namespace {

SniPixmaps pixmapsOf(const QIcon& icon)
{
    SniPixmaps out;
    for (const int size : pixmapSizes) {
        const QImage image =
            icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        SniPixmap pixmap{image.width(), image.height(), {}};
        pixmap.bytes.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out32 = reinterpret_cast<quint32*>(pixmap.bytes.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out32++ = qToBigEndian(line[x]);
        }
        out.append(pixmap);
    }
    return out;
}

/** The org.kde.StatusNotifierItem interface of the item. */
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(SniPixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem* item)
        : QDBusAbstractAdaptor(item), m_item(item), m_pixmaps(pixmapsOf(item->icon()))
    {
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return m_item->id(); }
    QString title() const { return m_item->title(); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return m_item->iconName(); }
    SniPixmaps iconPixmap() const { return m_pixmaps; }
    QString empty() const { return {}; }
    SniPixmaps noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return {QString(), {}, m_item->title(), QString()}; }
    bool itemIsMenu() const { return false; }

public Q_SLOTS:
    void Activate(int x, int y) { m_item->activate(x, y); }
    // The item has no menu: a secondary click or a menu request open the panel as well.
    void SecondaryActivate(int x, int y) { m_item->activate(x, y); }
    void ContextMenu(int x, int y) { m_item->activate(x, y); }
    void Scroll(int, const QString&) {}

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* m_item;
    SniPixmaps m_pixmaps;
};

} // namespace

StatusNotifierItem::StatusNotifierItem(const QString& id, const QString& title,
                                       const QString& iconName, const QIcon& icon,
                                       QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_id(id), m_title(title), m_iconName(iconName),
      m_icon(icon)
{
    static const bool typesRegistered = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmaps>();
        qDBusRegisterMetaType<SniToolTip>();
        return true;
    }();
    Q_UNUSED(typesRegistered);
    if (!m_bus.isConnected())
        return;

    new StatusNotifierItemAdaptor(this);
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(++counter);
    if (!m_bus.registerObject(QString::fromLatin1(itemPath), this) || !m_bus.registerService(name))
        return;
    m_serviceName = name;

    m_watcherWatch = new QDBusServiceWatcher(QString::fromLatin1(watcherService), m_bus,
                                             QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcherWatch, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                setState(false, false);
                if (!newOwner.isEmpty())
                    registerWithWatcher();
            });
    const QString service = QString::fromLatin1(watcherService);
    const QString path = QString::fromLatin1(watcherPath);
    m_bus.connect(service, path, watcherInterface, QStringLiteral("StatusNotifierHostRegistered"),
                  this, SLOT(hostRegistered()));
    m_bus.connect(service, path, watcherInterface, QStringLiteral("StatusNotifierHostUnregistered"),
                  this, SLOT(hostUnregistered()));
    // At start the program must know at once whether a tray shows the item.
    if (watcherPresent(m_bus))
        registerAtStart();
}

void StatusNotifierItem::registerAtStart()
{
    constexpr int timeoutMs = 5000;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath), watcherInterface,
        QStringLiteral("RegisterStatusNotifierItem"));
    call << m_serviceName;
    if (m_bus.call(call, QDBus::Block, timeoutMs).type() != QDBusMessage::ReplyMessage)
        return;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage host = m_bus.call(get, QDBus::Block, timeoutMs);
    const bool hosted = host.type() == QDBusMessage::ReplyMessage && !host.arguments().isEmpty() &&
                        host.arguments().first().value<QDBusVariant>().variant().toBool();
    setState(true, hosted);
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (!m_serviceName.isEmpty()) {
        m_bus.unregisterService(m_serviceName);
        m_bus.unregisterObject(QString::fromLatin1(itemPath));
    }
}

bool StatusNotifierItem::watcherPresent(const QDBusConnection& bus)
{
    const QDBusConnectionInterface* names = bus.interface();
    return names && names->isServiceRegistered(QString::fromLatin1(watcherService)).value();
}

void StatusNotifierItem::activate(int x, int y)
{
    // Hosts that know no position send 0, 0.
    Q_EMIT activated(x == 0 && y == 0 ? QPoint() : QPoint(x, y));
}

void StatusNotifierItem::registerWithWatcher()
{
    const quint64 attempt = ++m_attempt;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath), watcherInterface,
        QStringLiteral("RegisterStatusNotifierItem"));
    call << m_serviceName;
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, attempt](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                if (attempt != m_attempt || answer->isError())
                    return;
                m_registered = true;
                queryHost();
            });
}

void StatusNotifierItem::queryHost()
{
    const quint64 attempt = m_attempt;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, attempt](QDBusPendingCallWatcher* reply) {
                reply->deleteLater();
                if (attempt != m_attempt || !m_registered)
                    return;
                const QDBusPendingReply<QDBusVariant> value = *reply;
                setState(true, !value.isError() && value.value().variant().toBool());
            });
}

void StatusNotifierItem::hostRegistered()
{
    if (m_registered)
        setState(true, true);
}

void StatusNotifierItem::hostUnregistered()
{
    // Another host may remain; ask again.
    if (m_registered)
        queryHost();
}

void StatusNotifierItem::setState(bool registered, bool hostRegistered)
{
    const bool wasHosted = isHosted();
    if (!registered)
        ++m_attempt;
    m_registered = registered;
    m_hostRegistered = hostRegistered;
    if (isHosted() != wasHosted)
        Q_EMIT hostedChanged(isHosted());
}

#include "StatusNotifierItem.moc"
