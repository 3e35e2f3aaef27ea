// The log layer: every plain line carries the program's prefix, whoever writes it.
#include "Platform/Linux/LogindPowerEvents.h"
#include "Platform/Log.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <gtest/gtest.h>

namespace {

/** Sets the process's program prefix for one test and takes it away afterwards. */
class ProgramPrefix {
public:
    explicit ProgramPrefix(const QString& prefix) { Log::setProgramPrefix(prefix); }
    ~ProgramPrefix() { Log::setProgramPrefix(QString()); }
    ProgramPrefix(const ProgramPrefix&) = delete;
    ProgramPrefix& operator=(const ProgramPrefix&) = delete;
};

TEST(Log, PlainLinesCarryTheProgramPrefixOnce)
{
    struct Case {
        QString prefix;
        QString line;
        QString written;
    };
    const Case cases[] = {
        {QString(), QStringLiteral("Network path: cannot read the routing table"),
         QStringLiteral("Network path: cannot read the routing table")},
        {QStringLiteral("[OrvaneHelper] "), QStringLiteral("Network path: cannot read the routing table"),
         QStringLiteral("[OrvaneHelper] Network path: cannot read the routing table")},
        // The programs' own lines already begin with it and are written as they are.
        {QStringLiteral("[OrvaneHelper] "), QStringLiteral("[OrvaneHelper] starting \u2014 bundle=x"),
         QStringLiteral("[OrvaneHelper] starting \u2014 bundle=x")},
        {QStringLiteral("[Orvane] "), QStringLiteral("[Orvane] Helper requires user approval"),
         QStringLiteral("[Orvane] Helper requires user approval")},
        // Another program's prefix is not this one's.
        {QStringLiteral("[Orvane] "), QStringLiteral("[OrvaneHelper] x"),
         QStringLiteral("[Orvane] [OrvaneHelper] x")},
        {QStringLiteral("[Orvane] "), QString(), QStringLiteral("[Orvane] ")},
    };
    for (const auto& c : cases) {
        const ProgramPrefix prefix(c.prefix);
        const Log::Capture capture;
        Log::plain(c.line);
        EXPECT_EQ(capture.messages(), QStringList{c.written}) << c.line.toStdString();
    }
}

TEST(Log, LinesUnderASubsystemKeepTheirOwnName)
{
    const ProgramPrefix prefix(QStringLiteral("[Orvane] "));
    const Log::Capture capture;
    Log::write(QStringLiteral("ai.orvane.mac"), QStringLiteral("sysext"), Log::Level::info,
               QStringLiteral("activating"));
    ASSERT_EQ(capture.records().size(), 1);
    EXPECT_EQ(capture.records().front().message, QStringLiteral("activating"));
}

TEST(Log, ABackendLineCarriesTheHelperPrefix)
{
    // The logind backend, as the helper meets it on a machine without a system bus.
    const ProgramPrefix prefix(QStringLiteral("[OrvaneHelper] "));
    const Log::Capture capture;
    const QDBusConnection noBus = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/orvane-log-test-bus"), QStringLiteral("no-bus"));
    const LogindPowerEvents events(noBus);
    QCoreApplication::processEvents();
    ASSERT_EQ(capture.messages().size(), 1);
    EXPECT_TRUE(capture.messages().front().startsWith(
        QStringLiteral("[OrvaneHelper] Sleep and wake are not followed: no system bus")))
        << capture.messages().front().toStdString();
}

} // namespace
