#pragma once

// The compositor tests' own two applications and windows of them, from the tests' own Wayland
// client (ORVANE_ACTIVITY_TEST_CLIENT), which takes its desktop-file id as its app id.
#include "ChildProcess.h"
#include "Platform/ApplicationActivity.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

inline RunningApplication alpha()
{
    return {QStringLiteral("org.orvane.TestAlpha"), QStringLiteral("Alpha Test")};
}

inline RunningApplication beta()
{
    return {QStringLiteral("org.orvane.TestBeta"), QStringLiteral("Beta Test")};
}

/** Writes both applications' desktop entries into dataFolder/applications. */
inline void writeTestApplicationEntries(const QString& dataFolder)
{
    const QString applications = dataFolder + QStringLiteral("/applications");
    QDir().mkpath(applications);
    for (const auto& application : {alpha(), beta()}) {
        QFile entry(applications + u'/' + *application.bundleIdentifier +
                    QStringLiteral(".desktop"));
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=" +
                    application.localizedName->toUtf8() + "\nExec=true\n");
    }
}

/** Windows on one Wayland display, each closed at the latest when this goes. */
class TestApplicationWindows {
public:
    explicit TestApplicationWindows(QString waylandDisplay) : m_display(std::move(waylandDisplay))
    {
    }
    ~TestApplicationWindows() { closeAll(); }
    TestApplicationWindows(const TestApplicationWindows&) = delete;
    TestApplicationWindows& operator=(const TestApplicationWindows&) = delete;

    /** A window of the application with this desktop-file id; the compositor focuses it. */
    ChildProcess& open(const QString& desktopId)
    {
        auto& client = m_clients.emplace_back(std::make_unique<ChildProcess>(
            QStringLiteral(ORVANE_ACTIVITY_TEST_CLIENT), QStringList{desktopId, desktopId},
            ChildProcess::Environment{{"QT_QPA_PLATFORM", "wayland"},
                                      {"WAYLAND_DISPLAY", m_display.toUtf8()}}));
        EXPECT_TRUE(client->started());
        return *client;
    }

    static void close(ChildProcess& client) { client.stop(); }

    void closeAll()
    {
        for (const auto& client : m_clients)
            close(*client);
        m_clients.clear();
    }

private:
    QString m_display;
    std::vector<std::unique_ptr<ChildProcess>> m_clients;
};
