#include "App/Design/Colors.h"
#include "App/Views/MenuBarView.h"
#include "App/Views/Onboarding/PairDeviceView.h"
#include "App/Views/PlainButton.h"
#include "App/Views/ProgressSpinner.h"
#include "App/Views/RootView.h"
#include "App/Views/Status/StatusView.h"
#include "PanelFixture.h"

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTranslator>

namespace {

using Answer = ScriptedHttpServer::Answer;
using Status = DeviceStatusStore::Status;

Policy pausedPolicy(std::optional<QDateTime> until)
{
    Policy policy;
    policy.childId = PanelFixture::childId;
    policy.pausedNow = true;
    policy.pausedUntil = std::move(until);
    return policy;
}

QDateTime berlin(int year, int month, int day, int hour, int minute)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute),
                     QTimeZone(QByteArrayLiteral("Europe/Berlin")));
}

QColor centrePixel(QWidget& widget, const QWidget& inside)
{
    const QImage image = widget.grab().toImage();
    return image.pixelColor(inside.mapTo(&widget, inside.rect().center()));
}

/** Receives what QDesktopServices hands to the browser. */
class UrlReceiver : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl& url) { opened << url; }
};

/** Translates every text into "‹text›", so a test can see which texts were looked up. */
class MarkingTranslator : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override
    {
        return QStringLiteral("‹%1›").arg(QString::fromUtf8(source));
    }
    bool isEmpty() const override { return false; }
};

class PanelTest : public PanelFixture {
protected:
    std::unique_ptr<MenuBarView>
    showPanel(const QString& dashboard = QStringLiteral(ORVANE_DASHBOARD_URL))
    {
        auto panel = std::make_unique<MenuBarView>(*auth, status, clock, dashboard);
        panel->show();
        return panel;
    }

    template <typename View> static View* shown(const MenuBarView& panel)
    {
        return qobject_cast<View*>(panel.rootView()->content());
    }
};

} // namespace

TEST_F(PanelTest, StatusViewShowsEachStatus)
{
    startAuth();
    const QDateTime now = clock.now();
    const struct {
        const char* name;
        bool enrolled;
        std::optional<QDateTime> heartbeat;
        std::optional<Policy> policy;
        const char* label;
        QColor dot;
        const char* lastCheck;
        const char* resumes; // nullptr: no line
    } cases[] = {
        {"protected", true, now.addSecs(-10), std::nullopt, "Protected", orvaneSuccess,
         "Last check 10 sec. ago", nullptr},
        {"offline, never checked in", true, std::nullopt, std::nullopt, "Offline", orvaneDanger,
         "Waiting for first check-in…", nullptr},
        {"offline, stale", true, now.addSecs(-200), std::nullopt, "Offline", orvaneDanger,
         "Last check 3 min. ago", nullptr},
        {"paused without end", true, now.addSecs(-7200), pausedPolicy(std::nullopt), "Paused",
         orvaneWarning, "Last check 2 hr. ago", nullptr},
        {"paused until later today", true, now.addSecs(-30),
         pausedPolicy(berlin(2025, 3, 14, 17, 45)), "Paused", orvaneWarning,
         "Last check 30 sec. ago", "Resumes 5:45\u202fPM"},
        {"paused until a day gone by", true, std::nullopt, pausedPolicy(berlin(2025, 3, 2, 9, 5)),
         "Paused", orvaneWarning, "Waiting for first check-in…", "Resumes 9:05\u202fAM"},
        {"not paired", false, now.addSecs(-10), pausedPolicy(std::nullopt), "Not paired",
         orvaneOnSurfaceVariant, "Last check 10 sec. ago", nullptr},
    };
    StatusView view(*auth, status, clock);
    view.resize(272, 300);
    view.show();
    auto* label = child<QLabel>(view, "statusLabel");
    auto* lastCheck = child<QLabel>(view, "lastCheckLine");
    auto* resumes = child<QLabel>(view, "resumesLine");
    auto* unpair = child<PlainButton>(view, "unpairButton");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        status.refresh(c.enrolled, c.heartbeat, c.policy);
        EXPECT_EQ(label->text(), c.label);
        EXPECT_EQ(centrePixel(view, *child(view, "statusDot")), c.dot);
        EXPECT_EQ(lastCheck->text(), QString::fromUtf8(c.lastCheck));
        EXPECT_EQ(resumes->isVisible(), c.resumes != nullptr);
        if (c.resumes) {
            EXPECT_EQ(resumes->text(), QString::fromUtf8(c.resumes));
        }
        EXPECT_TRUE(unpair->isVisible());
        EXPECT_EQ(unpair->text(), "Unpair this Mac");
        EXPECT_EQ(unpair->toolTip(), "Unpairs the device. Only do this if your parent asks.");
    }
}

TEST_F(PanelTest, LastCheckNamesTheLargestUnit)
{
    const QDateTime now = berlin(2025, 3, 14, 15, 0);
    const struct {
        qint64 secondsAgo;
        const char* text;
    } cases[] = {
        {0, "Last check in 0 sec."},          {59, "Last check 59 sec. ago"},
        {90, "Last check 1 min. ago"},        {3 * 3600 + 59, "Last check 3 hr. ago"},
        {2 * 86400, "Last check 2 days ago"}, {15 * 86400, "Last check 2 wk. ago"},
        {-30, "Last check in 30 sec."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secondsAgo);
        EXPECT_EQ(StatusView::lastCheckText(now.addSecs(-c.secondsAgo), now), c.text);
    }
}

TEST_F(PanelTest, RedrawsTheRelativeTimeWhenShownAgain)
{
    startAuth();
    StatusView view(*auth, status, clock);
    view.show();
    status.refresh(true, clock.now(), std::nullopt);
    view.hide();
    clock.advance(120);
    view.show();
    EXPECT_EQ(child<QLabel>(view, "lastCheckLine")->text(), "Last check 2 min. ago");
}

TEST_F(PanelTest, ShowsProgressWhileTheSessionIsRestored)
{
    storeSession();
    startAuth(false);
    auto panel = showPanel();
    EXPECT_NE(shown<ProgressSpinner>(*panel), nullptr);
    EXPECT_TRUE(shown<ProgressSpinner>(*panel)->isSpinning());

    // The restore publishes enrolled before it ends bootstrapping: still the indicator then.
    bool progressWhileEnrolled = false;
    const Subscription watch = auth->enrolled().subscribeToChanges([&](bool enrolled) {
        progressWhileEnrolled = enrolled && shown<ProgressSpinner>(*panel) != nullptr;
    });
    ASSERT_TRUE(processEventsUntil([this] { return !auth->isBootstrapping().get(); }));
    EXPECT_TRUE(progressWhileEnrolled);
    EXPECT_NE(shown<StatusView>(*panel), nullptr);
}

TEST_F(PanelTest, SwitchesViewsAsTheSessionChanges)
{
    startAuth();
    auto panel = showPanel();
    auto* pairing = shown<PairDeviceView>(*panel);
    ASSERT_NE(pairing, nullptr);
    EXPECT_TRUE(pairing->isVisible());

    // Typed digits survive redraws caused by store changes that keep the pairing view.
    QTest::keyClicks(child<QLineEdit>(*pairing, "digitField0"), "1");
    status.refresh(false, std::nullopt, std::nullopt);
    server.enqueue(Answer::json(404, R"({"message":"unknown code"})"));
    for (int i = 1; i < 6; ++i)
        QTest::keyClicks(child<QLineEdit>(*pairing, QStringLiteral("digitField%1").arg(i)),
                         QString::number(i + 1));
    QTest::mouseClick(child(*pairing, "pairButton"), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([&] { return !pairing->isSubmitting(); }));
    EXPECT_EQ(shown<PairDeviceView>(*panel), pairing);
    EXPECT_EQ(pairing->digits().join(QString()), "123456");

    server.enqueue(enrollAnswer());
    QTest::mouseClick(child(*pairing, "pairButton"), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([&] { return shown<StatusView>(*panel) != nullptr; }));
    EXPECT_TRUE(shown<StatusView>(*panel)->isVisible());

    QTest::mouseClick(child(*shown<StatusView>(*panel), "unpairButton"), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([&] { return shown<PairDeviceView>(*panel) != nullptr; }));
    auto* fresh = shown<PairDeviceView>(*panel);
    EXPECT_TRUE(fresh->isVisible());
    EXPECT_EQ(fresh->digits(), QStringList(6, QString()));
    EXPECT_EQ(panel->focusWidget(), child(*fresh, "digitField0"));
    EXPECT_FALSE(keychain.readDeviceToken().has_value());
}

TEST_F(PanelTest, KeepsItsSizeWithTheFooterAtTheBottom)
{
    storeSession();
    startAuth();
    auto panel = showPanel();
    EXPECT_EQ(panel->size(), QSize(320, 420));
    auto* quit = child(*panel, "quitButton");
    EXPECT_EQ(quit->geometry().bottom() + 1, 420 - 16);
    EXPECT_EQ(panel->palette().color(QPalette::Window), orvaneSurface);
    EXPECT_EQ(panel->grab().toImage().pixelColor(2, 2), orvaneSurface);

    status.refresh(true, std::nullopt, pausedPolicy(berlin(2025, 3, 14, 18, 0)));
    EXPECT_EQ(quit->geometry().bottom() + 1, 420 - 16);
    EXPECT_EQ(child<QLabel>(*panel, "productSubtitle")->text(), "MAC AGENT");
    EXPECT_EQ(quit->toolTip(), "Quitting the menu-bar UI. The background helper keeps running.");
}

TEST_F(PanelTest, DashboardLinkOpensTheParentDashboard)
{
    startAuth();
    UrlReceiver browser;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
    {
        auto panel = showPanel();
        QTest::mouseClick(child(*panel, "dashboardButton"), Qt::LeftButton);
    }
    {
        auto panel = showPanel(QStringLiteral("https://exa mple.com:99999/parent"));
        QTest::mouseClick(child(*panel, "dashboardButton"), Qt::LeftButton);
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(browser.opened.at(0), QUrl(QStringLiteral(ORVANE_DASHBOARD_URL)));
    EXPECT_EQ(browser.opened.at(0).scheme(), "https");
    EXPECT_EQ(browser.opened.at(0).path(), "/parent");
}

TEST_F(PanelTest, QuitEndsTheEventLoop)
{
    startAuth();
    auto panel = showPanel();
    QTimer::singleShot(0, panel.get(),
                       [&] { QTest::mouseClick(child(*panel, "quitButton"), Qt::LeftButton); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); }); // if quit does nothing
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST_F(PanelTest, LooksUpFixedTextsOnly)
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    server.enqueue(Answer::json(404, R"({"message":"Unknown pairing code"})"));
    startAuth();
    auto panel = showPanel();
    auto* pairing = shown<PairDeviceView>(*panel);
    for (int i = 0; i < 6; ++i)
        QTest::keyClicks(child<QLineEdit>(*pairing, QStringLiteral("digitField%1").arg(i)), "1");
    QTest::mouseClick(child(*pairing, "pairButton"), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([&] { return !pairing->isSubmitting(); }));

    EXPECT_EQ(child<QLabel>(*panel, "productName")->text(), "‹Orvane›");
    EXPECT_EQ(child<QLabel>(*panel, "productSubtitle")->text(), "‹MAC AGENT›");
    EXPECT_EQ(child<QLabel>(*panel, "pairTitle")->text(), "‹Pair this Mac›");
    EXPECT_EQ(child<QLabel>(*panel, "pairInstructions")->text(),
              "‹Enter the 6-digit code from your parent's Orvane dashboard.›");
    EXPECT_EQ(child<PlainButton>(*panel, "pairButton")->text(), "‹Pair device›");
    EXPECT_EQ(child<PlainButton>(*panel, "dashboardButton")->text(), "‹Open Orvane dashboard›");
    EXPECT_EQ(child<PlainButton>(*panel, "quitButton")->text(), "‹Quit Orvane›");
    EXPECT_EQ(child(*panel, "quitButton")->toolTip(),
              "‹Quitting the menu-bar UI. The background helper keeps running.›");
    // The service's message is shown as it is.
    EXPECT_EQ(child<QLabel>(*panel, "pairingError")->text(),
              auth->lastError().get()->userFacingMessage());
    EXPECT_FALSE(child<QLabel>(*panel, "pairingError")->text().startsWith("‹"));

    StatusView view(*auth, status, clock);
    status.refresh(true, std::nullopt, std::nullopt);
    EXPECT_EQ(child<QLabel>(view, "statusLabel")->text(), "Offline");
    EXPECT_EQ(child<QLabel>(view, "lastCheckLine")->text(), "‹Waiting for first check-in…›");
    EXPECT_EQ(child<PlainButton>(view, "unpairButton")->text(), "‹Unpair this Mac›");
    status.refresh(true, clock.now(), pausedPolicy(berlin(2025, 3, 14, 18, 0)));
    EXPECT_TRUE(child<QLabel>(view, "lastCheckLine")->text().startsWith("‹Last check ›"));
    EXPECT_TRUE(child<QLabel>(view, "resumesLine")->text().startsWith("‹Resumes ›6:00"));
    QCoreApplication::removeTranslator(&translator);
}

#include "PanelTest.moc"
