// The panel opened and closed from the tray item on a real display server: headless sway
// (Wayland) or Xvfb (X11), whichever the wrapper provides. The tray is a StatusNotifierWatcher of
// the test's own on a private session bus; clicks arrive as a host sends them. Screenshots go to
// $ORVANE_SCREENSHOT_DIR (or ./screenshots).
#include "App/OrvaneMacApp.h"
#include "App/StatusNotifierItem.h"
#include "App/TrayItem.h"
#include "App/Views/MenuBarView.h"
#include "Platform/Linux/XdgAutostartLoginItem.h"
#include "TestSupport/Await.h"
#include "TestSupport/StatusNotifierWatcherPeer.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

constexpr int timeoutMs = 20000;
// Past the guard that keeps the closing click from opening the panel again.
constexpr int reopenGuardMs = 400;

bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QString screenshotDir()
{
    const QString dir = qEnvironmentVariableIsSet("ORVANE_SCREENSHOT_DIR")
                            ? qEnvironmentVariable("ORVANE_SCREENSHOT_DIR")
                            : QDir::current().filePath(QStringLiteral("screenshots"));
    QDir().mkpath(dir);
    return dir;
}

/** Runs a program to its end; its output, or nothing when it failed. */
std::optional<QByteArray> run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

/** Sway's node of the window with this app id and title, or an empty object. */
QJsonObject swayNode(const QJsonObject& node, const QString& appId, const QString& title)
{
    if (node.value(QStringLiteral("app_id")).toString() == appId &&
        node.value(QStringLiteral("name")).toString() == title)
        return node;
    for (const char* key : {"nodes", "floating_nodes"}) {
        for (const auto& child : node.value(QLatin1String(key)).toArray()) {
            const QJsonObject found = swayNode(child.toObject(), appId, title);
            if (!found.isEmpty())
                return found;
        }
    }
    return {};
}

QJsonObject swayWindow()
{
    const auto tree =
        run(QStringLiteral("swaymsg"), {QStringLiteral("-t"), QStringLiteral("get_tree")});
    // Other windows of the test share the program's app id; the panel is the one titled so.
    return tree ? swayNode(QJsonDocument::fromJson(*tree).object(), QStringLiteral("ai.orvane.mac"),
                           QStringLiteral("Orvane"))
                : QJsonObject();
}

bool screenshot(const QString& name)
{
    const QString file = QDir(screenshotDir()).filePath(name);
    if (onWayland())
        return run(QStringLiteral("grim"), {file}).has_value();
    return run(QStringLiteral(ORVANE_SCREENSHOT_TOOL), {file}).has_value();
}

/**
 * A screenshot that shows the panel inside frame: the compositor may draw the first frame of a
 * mapped window a moment later, so it is taken again until the panel's middle differs from the
 * background in the screen's corner.
 */
bool screenshotOfPanel(const QString& name, QRect frame)
{
    const QString file = QDir(screenshotDir()).filePath(name);
    return processEventsUntil(
        [&] {
            if (!screenshot(name))
                return false;
            const QImage shot(file);
            return !shot.isNull() && shot.rect().contains(frame.center()) &&
                   shot.pixel(frame.center()) != shot.pixel(0, shot.height() - 1);
        },
        timeoutMs);
}

class PanelOnDesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        // As the program's main names itself.
        QGuiApplication::setDesktopFileName(QStringLiteral("ai.orvane.mac"));
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Orvane"));
        ASSERT_TRUE(watcher.start());
        OrvaneMacApp::Parts parts = OrvaneMacApp::Parts::shared();
        const QString autostart = folder.filePath(QStringLiteral("autostart"));
        parts.makeLoginItem = [autostart] {
            return std::make_unique<XdgAutostartLoginItem>(
                OrvaneMacApp::helperIdentifier, autostart,
                XdgAutostartLoginItem::runningBundleDir());
        };
        app = std::make_unique<OrvaneMacApp>(std::move(parts));
        ASSERT_TRUE(app->trayItem() && app->trayItem()->isHosted());
        item = app->trayItem()->statusNotifierItem()->serviceName();
    }

    void click(QPoint at = {})
    {
        ASSERT_TRUE(watcher.callItem(item, QStringLiteral("Activate"), at.x(), at.y()));
    }

    /** Until the panel is on screen as the display server sees it. */
    bool panelShown()
    {
        return processEventsUntil(
            [this] {
                QWindow* window = app->panel().windowHandle();
                if (!app->panel().isVisible() || !window || !window->isExposed())
                    return false;
                return !onWayland() || swayWindow().value(QStringLiteral("visible")).toBool();
            },
            timeoutMs);
    }

    bool panelHidden()
    {
        return processEventsUntil(
            [this] {
                return !app->panel().isVisible() && (!onWayland() || swayWindow().isEmpty());
            },
            timeoutMs);
    }

    QString platform() const
    {
        return onWayland() ? QStringLiteral("sway") : QStringLiteral("x11");
    }

    QTemporaryDir folder;
    StatusNotifierWatcherPeer watcher;
    std::unique_ptr<OrvaneMacApp> app;
    QString item;
};

TEST_F(PanelOnDesktopTest, OpensFromTheItemAndClosesOnTheNextClickAndWhenFocusLeaves)
{
    EXPECT_FALSE(app->panel().isVisible()); // a tray shows the item: no window at start

    // A click on an item at the top right of the screen, as a panel reports it.
    const QPoint itemAt(1000, 12);
    click(onWayland() ? QPoint() : itemAt);
    ASSERT_TRUE(panelShown());
    EXPECT_EQ(app->panel().size(), QSize(320, 420));
    if (onWayland()) {
        // A small window the compositor places: sway floats it at its fixed size.
        const QJsonObject node = swayWindow();
        EXPECT_EQ(node.value("type").toString(), "floating_con");
        EXPECT_EQ(node.value("rect").toObject().value("width").toInt(), 320);
        EXPECT_EQ(node.value("rect").toObject().value("height").toInt(), 420);
        EXPECT_TRUE(node.value("focused").toBool());
    } else {
        // Right below the item, inside the screen.
        const QRect frame = app->panel().geometry();
        EXPECT_GE(frame.top(), itemAt.y());
        EXPECT_LE(frame.top(), itemAt.y() + 16);
        EXPECT_LE(frame.right(), 1023);
        EXPECT_GE(frame.right(), itemAt.x());
    }
    const QJsonObject rect = onWayland() ? swayWindow().value("rect").toObject() : QJsonObject();
    const QRect frame = onWayland() ? QRect(rect.value("x").toInt(), rect.value("y").toInt(),
                                            rect.value("width").toInt(),
                                            rect.value("height").toInt())
                                    : app->panel().geometry();
    EXPECT_TRUE(screenshotOfPanel(QStringLiteral("panel-%1-open.png").arg(platform()), frame));

    click(onWayland() ? QPoint() : itemAt);
    ASSERT_TRUE(panelHidden());

    // Open again, then focus goes elsewhere.
    QTest::qWait(reopenGuardMs);
    click(onWayland() ? QPoint() : itemAt);
    ASSERT_TRUE(panelShown());
    QWidget other;
    if (onWayland()) {
        // Another window takes the focus (sway focuses a new window).
        other.setWindowTitle(QStringLiteral("other"));
        other.resize(200, 100);
        other.show();
    } else {
        // A click elsewhere on the screen.
        ASSERT_TRUE(run(QStringLiteral("xdotool"),
                        {QStringLiteral("mousemove"), QStringLiteral("100"), QStringLiteral("700"),
                         QStringLiteral("click"), QStringLiteral("1")}));
    }
    ASSERT_TRUE(panelHidden());
    EXPECT_TRUE(screenshot(QStringLiteral("panel-%1-closed.png").arg(platform())));
}

TEST_F(PanelOnDesktopTest, ThePanelWindowNamesTheDesktopEntry)
{
    if (!onWayland())
        GTEST_SKIP() << "X11 names the entry by StartupWMClass, the program's class";
    click();
    ASSERT_TRUE(panelShown());
    EXPECT_EQ(swayWindow().value("app_id").toString(), "ai.orvane.mac");
}

// No StatusNotifierWatcher here: on X11 the item is Qt's XEmbed icon, in a real trayer.
TEST(XEmbedTrayTest, TellsWhenATrayStartsAndWhenItEnds)
{
    if (onWayland())
        GTEST_SKIP() << "XEmbed trays exist on X11 only";
    TrayItem tray(QStringLiteral("ai.orvane.mac"), QStringLiteral("Orvane"), QString(),
                  QIcon(QPixmap(16, 16)));
    ASSERT_FALSE(tray.isHosted());
    QSignalSpy hosted(&tray, &TrayItem::hostedChanged);
    const auto told = [&](bool value) {
        return tray.isHosted() == value && !hosted.isEmpty() &&
               hosted.last().at(0).toBool() == value;
    };
    for (int start = 0; start < 2; ++start) { // a tray that ends and starts again
        QProcess trayer;
        trayer.start(QStringLiteral("trayer"), {QStringLiteral("--edge"), QStringLiteral("top")});
        ASSERT_TRUE(trayer.waitForStarted(timeoutMs)) << "trayer is missing";
        EXPECT_TRUE(processEventsUntil([&] { return told(true); }, timeoutMs));
        trayer.terminate();
        ASSERT_TRUE(trayer.waitForFinished(timeoutMs));
        EXPECT_TRUE(processEventsUntil([&] { return told(false); }, timeoutMs));
    }
}

} // namespace
