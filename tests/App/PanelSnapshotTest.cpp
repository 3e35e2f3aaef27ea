// Renders the panel in each of its states to PNG files for a person to look at, in the
// folder ORVANE_SNAPSHOT_DIR names (else "snapshots" in the working folder).
#include "App/Views/MenuBarView.h"
#include "App/Views/Onboarding/PairDeviceView.h"
#include "App/Views/RootView.h"
#include "PanelFixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTest>

namespace {

using Answer = ScriptedHttpServer::Answer;

class PanelSnapshotTest : public PanelFixture {
protected:
    void save(MenuBarView& panel, const char* name)
    {
        const QString folder = qEnvironmentVariableIsSet("ORVANE_SNAPSHOT_DIR")
                                   ? qEnvironmentVariable("ORVANE_SNAPSHOT_DIR")
                                   : QDir::current().filePath(QStringLiteral("snapshots"));
        ASSERT_TRUE(QDir().mkpath(folder));
        const QImage image = panel.grab().toImage();
        EXPECT_EQ(image.size(), QSize(320, 420) * panel.devicePixelRatioF());
        const QString path = QDir(folder).filePath(QString::fromLatin1(name) + ".png");
        EXPECT_TRUE(image.save(path)) << path.toStdString();
    }

    std::unique_ptr<MenuBarView> panel()
    {
        auto view = std::make_unique<MenuBarView>(*auth, status, clock);
        view->show();
        view->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(view.get()));
        return view;
    }

    void typeCode(MenuBarView& view, const QString& code)
    {
        for (int i = 0; i < code.size(); ++i)
            QTest::keyClicks(view.findChild<QLineEdit*>(QStringLiteral("digitField%1").arg(i)),
                             code.mid(i, 1));
    }
};

} // namespace

TEST_F(PanelSnapshotTest, PairingStates)
{
    startAuth();
    auto view = panel();
    save(*view, "pairing-empty");

    typeCode(*view, QStringLiteral("482913"));
    save(*view, "pairing-complete");

    server.enqueue(Answer::json(
        400, R"({"title":"This pairing code has expired. Ask your parent for a new one."})"));
    QTest::mouseClick(view->findChild<QWidget*>("pairButton"), Qt::LeftButton);
    auto* pairing = qobject_cast<PairDeviceView*>(view->rootView()->content());
    ASSERT_TRUE(processEventsUntil([&] { return !pairing->isSubmitting(); }));
    save(*view, "pairing-error");
}

TEST_F(PanelSnapshotTest, StatusStates)
{
    storeSession();
    startAuth();
    auto view = panel();
    const QDateTime now = clock.now();

    status.refresh(true, now.addSecs(-42), std::nullopt);
    save(*view, "protected");

    status.refresh(true, std::nullopt, std::nullopt);
    save(*view, "offline-waiting");

    Policy policy;
    policy.pausedNow = true;
    policy.pausedUntil = now.addSecs(2 * 3600 + 30 * 60);
    status.refresh(true, now.addSecs(-20), policy);
    save(*view, "paused");
}
