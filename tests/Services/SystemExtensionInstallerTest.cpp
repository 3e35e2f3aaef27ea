#include "Services/SystemExtensionInstaller.h"

#include "Platform/Log.h"
#include "TestSupport/ScriptedSystemExtensionManager.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <ostream>

using Installer = SystemExtensionInstaller;
using Extension = Installer::Extension;
using State = Installer::ActivationState;
using Kind = SystemExtensionManager::RequestKind;

void PrintTo(const State& state, std::ostream* os)
{
    static const char* const names[] = {"failed", "idle", "submitting", "needsUserApproval",
                                        "active"};
    *os << names[static_cast<int>(state.kind())];
    if (state.kind() == State::Case::failed)
        *os << "(\"" << state.message().toStdString() << "\")";
}

namespace {

const QString dnsProxyId = QStringLiteral("ai.orvane.mac.dnsproxy");
const QString contentFilterId = QStringLiteral("ai.orvane.mac.contentfilter");
const QString failureText = QStringLiteral("Activation failed — see Console.app");

Log::Record requestLine(Log::Level level, const QString& message)
{
    return {QStringLiteral("ai.orvane.mac"), QStringLiteral("sysext.request"), level, message};
}

Log::Record installerLine(const QString& message)
{
    return {QStringLiteral("ai.orvane.mac"), QStringLiteral("sysext"), Log::Level::info, message};
}

// Runs the tasks queued so far, the terminal steps among them.
void runQueuedTasks()
{
    QCoreApplication::sendPostedEvents();
}

// What the platform may answer, and what the installer makes of it.
struct Answer {
    const char* name;
    std::function<void(SystemExtensionRequestDelegate&)> deliver;
    State afterActivation;
    State afterDeactivation;
    Log::Record line;
};

const QList<Answer>& answers()
{
    static const QList<Answer> table{
        {"needs approval", [](auto& d) { d.requestNeedsUserApproval(); },
         State::needsUserApproval(), State::needsUserApproval(),
         requestLine(Log::Level::info, "needs user approval for ai.orvane.mac.dnsproxy")},
        {"completed", [](auto& d) { d.didFinishWithResult(0); }, State::active(), State::idle(),
         requestLine(Log::Level::info, "finished ai.orvane.mac.dnsproxy result=0")},
        {"after restart", [](auto& d) { d.didFinishWithResult(1); }, State::needsUserApproval(),
         State::needsUserApproval(),
         requestLine(Log::Level::info, "finished ai.orvane.mac.dnsproxy result=1")},
        {"result 2", [](auto& d) { d.didFinishWithResult(2); }, State::failed("unknown result"),
         State::failed("unknown result"),
         requestLine(Log::Level::info, "finished ai.orvane.mac.dnsproxy result=2")},
        {"result -1", [](auto& d) { d.didFinishWithResult(-1); }, State::failed("unknown result"),
         State::failed("unknown result"),
         requestLine(Log::Level::info, "finished ai.orvane.mac.dnsproxy result=-1")},
        {"error", [](auto& d) { d.didFailWithError("Unit not found (NoSuchUnit)"); },
         State::failed(failureText), State::failed(failureText),
         requestLine(Log::Level::error,
                     "failed ai.orvane.mac.dnsproxy err=Unit not found (NoSuchUnit)")},
        {"empty error", [](auto& d) { d.didFailWithError(QString()); }, State::failed(failureText),
         State::failed(failureText),
         requestLine(Log::Level::error, "failed ai.orvane.mac.dnsproxy err=")},
    };
    return table;
}

class SystemExtensionInstallerTest : public ::testing::Test {
protected:
    State stateOf(Extension extension) const { return installer->state().at(extension); }

    Log::Capture log;
    ScriptedSystemExtensionManager manager;
    std::unique_ptr<Installer> installer = std::make_unique<Installer>(manager);
};

TEST_F(SystemExtensionInstallerTest, ExtensionsHaveTheirIdentifiersInCaseOrder)
{
    ASSERT_EQ(Installer::allExtensions.size(), 2u);
    EXPECT_EQ(Installer::allExtensions[0], Extension::dnsProxy);
    EXPECT_EQ(Installer::allExtensions[1], Extension::contentFilter);
    EXPECT_EQ(Installer::identifier(Extension::dnsProxy), dnsProxyId);
    EXPECT_EQ(Installer::identifier(Extension::contentFilter), contentFilterId);

    const std::pair<QString, std::optional<Extension>> cases[] = {
        {dnsProxyId, Extension::dnsProxy},
        {contentFilterId, Extension::contentFilter},
        {"AI.ORVANE.MAC.DNSPROXY", std::nullopt},
        {"ai.orvane.mac.dnsproxy ", std::nullopt},
        {"ai.orvane.mac.dnsproxy.service", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Installer::extensionFromIdentifier(text), expected) << text.toStdString();
}

TEST_F(SystemExtensionInstallerTest, StatesAreEqualByCaseAndFailureText)
{
    EXPECT_EQ(State::failed("a"), State::failed("a"));
    EXPECT_NE(State::failed("a"), State::failed("b"));
    EXPECT_NE(State::failed(""), State::idle());
    EXPECT_EQ(State::active(), State::active());
    EXPECT_NE(State::active(), State::needsUserApproval());
}

TEST_F(SystemExtensionInstallerTest, StartsIdleWithNothingActive)
{
    const Installer::StateMap idle{{Extension::dnsProxy, State::idle()},
                                   {Extension::contentFilter, State::idle()}};
    EXPECT_EQ(installer->state(), idle);
    EXPECT_FALSE(installer->isActive(Extension::dnsProxy));
    EXPECT_FALSE(installer->isActive(Extension::contentFilter));
    EXPECT_FALSE(installer->allActive());
    EXPECT_TRUE(manager.submissions.isEmpty());
    EXPECT_TRUE(log.records().isEmpty());

    QList<Installer::StateMap> seen;
    auto subscription = installer->subscribeToState([&](const auto& map) { seen << map; });
    EXPECT_EQ(seen, QList<Installer::StateMap>{idle});
}

TEST_F(SystemExtensionInstallerTest, ActivateIsSubmittingBeforeItReturns)
{
    QList<Installer::StateMap> seen;
    auto subscription = installer->subscribeToState([&](const auto& map) { seen << map; });

    installer->activate(Extension::dnsProxy);

    EXPECT_EQ(stateOf(Extension::dnsProxy), State::submitting());
    EXPECT_EQ(stateOf(Extension::contentFilter), State::idle());
    ASSERT_EQ(seen.size(), 2);
    EXPECT_EQ(seen[1], (Installer::StateMap{{Extension::dnsProxy, State::submitting()},
                                            {Extension::contentFilter, State::idle()}}));
    ASSERT_EQ(manager.submissions.size(), 1);
    EXPECT_EQ(manager.submissions[0].kind, Kind::activation);
    EXPECT_EQ(manager.submissions[0].identifier, dnsProxyId);
    EXPECT_EQ(log.records(), QList{installerLine("activate ai.orvane.mac.dnsproxy")});
}

TEST_F(SystemExtensionInstallerTest, ActivateAllSubmitsInCaseOrder)
{
    installer->activateAll();

    ASSERT_EQ(manager.submissions.size(), 2);
    EXPECT_EQ(manager.submissions[0].identifier, dnsProxyId);
    EXPECT_EQ(manager.submissions[1].identifier, contentFilterId);
    EXPECT_EQ(stateOf(Extension::dnsProxy), State::submitting());
    EXPECT_EQ(stateOf(Extension::contentFilter), State::submitting());
    EXPECT_EQ(log.messages(), (QStringList{"activate ai.orvane.mac.dnsproxy",
                                           "activate ai.orvane.mac.contentfilter"}));
}

// Each case builds its own installer and log capture (captures do not nest).
TEST(SystemExtensionInstallerAnswers, TerminalAnswersToAnActivation)
{
    for (const auto& answer : answers()) {
        SCOPED_TRACE(answer.name);
        ScriptedSystemExtensionManager platform;
        Installer subject(platform);
        Log::Capture lines;
        subject.activate(Extension::dnsProxy);
        const auto& request = platform.submissions.at(0);
        platform.forget(0); // only the installer holds the delegate now
        ASSERT_FALSE(request.watch.expired());

        answer.deliver(*request.watch.lock());

        // Nothing changes until the queued terminal step runs.
        EXPECT_EQ(subject.state().at(Extension::dnsProxy), State::submitting());
        EXPECT_FALSE(request.watch.expired());
        runQueuedTasks();
        EXPECT_EQ(subject.state().at(Extension::dnsProxy), answer.afterActivation);
        EXPECT_EQ(subject.state().at(Extension::contentFilter), State::idle());
        EXPECT_TRUE(request.watch.expired()) << "the delegate is still in flight";
        EXPECT_EQ(lines.records(),
                  (QList{installerLine("activate ai.orvane.mac.dnsproxy"), answer.line}));
    }
}

TEST(SystemExtensionInstallerAnswers, TerminalAnswersToADeactivation)
{
    for (const auto& answer : answers()) {
        SCOPED_TRACE(answer.name);
        ScriptedSystemExtensionManager platform;
        Installer subject(platform);
        Log::Capture lines;
        subject.activate(Extension::dnsProxy);
        platform.submissions.at(0).answer().didFinishWithResult(0);
        runQueuedTasks();
        ASSERT_EQ(subject.state().at(Extension::dnsProxy), State::active());
        const auto linesBefore = lines.records().size();

        subject.deactivateAll();

        ASSERT_EQ(platform.submissions.size(), 3);
        EXPECT_EQ(platform.submissions[1].kind, Kind::deactivation);
        EXPECT_EQ(platform.submissions[1].identifier, dnsProxyId);
        EXPECT_EQ(platform.submissions[2].kind, Kind::deactivation);
        EXPECT_EQ(platform.submissions[2].identifier, contentFilterId);
        EXPECT_EQ(lines.records().size(), linesBefore) << "deactivation writes no line of its own";
        runQueuedTasks();
        EXPECT_EQ(subject.state().at(Extension::dnsProxy), State::active());
        EXPECT_EQ(subject.state().at(Extension::contentFilter), State::idle());

        const auto& request = platform.submissions.at(1);
        platform.forget(1);
        ASSERT_FALSE(request.watch.expired());
        answer.deliver(*request.watch.lock());
        EXPECT_EQ(subject.state().at(Extension::dnsProxy), State::active());
        runQueuedTasks();
        EXPECT_EQ(subject.state().at(Extension::dnsProxy), answer.afterDeactivation);
        EXPECT_FALSE(subject.isActive(Extension::dnsProxy));
        EXPECT_TRUE(request.watch.expired());
        EXPECT_EQ(lines.records().mid(linesBefore), QList{answer.line});
    }
}

TEST_F(SystemExtensionInstallerTest, ReplacementIsAlwaysAnsweredWithReplace)
{
    installer->activate(Extension::contentFilter);
    auto& delegate = manager.submissions.at(0).answer();
    const std::pair<QString, QString> versions[] = {
        {"1.0", "1.1"}, {"2.0", "1.0"}, {"1.0", "1.0"}, {"", "garbage"}};
    for (const auto& [existing, replacement] : versions)
        EXPECT_EQ(delegate.actionForReplacingExtension(existing, replacement), 1);
    runQueuedTasks();

    EXPECT_EQ(stateOf(Extension::contentFilter), State::submitting());
    manager.forget(0);
    EXPECT_FALSE(manager.submissions[0].watch.expired()) << "the question is not an answer";
    const auto records = log.records();
    ASSERT_EQ(records.size(), 5);
    EXPECT_EQ(records[1], requestLine(Log::Level::info, "replace existing=1.0 with=1.1"));
    EXPECT_EQ(records[2], requestLine(Log::Level::info, "replace existing=2.0 with=1.0"));
    EXPECT_EQ(records[4], requestLine(Log::Level::info, "replace existing= with=garbage"));
}

TEST_F(SystemExtensionInstallerTest, EveryWriteNotifiesWithTheWholeMap)
{
    QList<Installer::StateMap> seen;
    auto subscription = installer->subscribeToState([&](const auto& map) { seen << map; });
    installer->activateAll();
    manager.submissions[1].answer().didFinishWithResult(0);
    manager.submissions[0].answer().requestNeedsUserApproval();
    runQueuedTasks();

    const auto map = [](State dns, State filter) {
        return Installer::StateMap{{Extension::dnsProxy, dns}, {Extension::contentFilter, filter}};
    };
    EXPECT_EQ(seen,
              (QList{map(State::idle(), State::idle()), map(State::submitting(), State::idle()),
                     map(State::submitting(), State::submitting()),
                     map(State::submitting(), State::active()),
                     map(State::needsUserApproval(), State::active())}));
}

TEST_F(SystemExtensionInstallerTest, AllActiveNeedsBothActive)
{
    installer->activateAll();
    manager.submissions[0].answer().didFinishWithResult(0);
    manager.submissions[1].answer().requestNeedsUserApproval();
    runQueuedTasks();
    EXPECT_TRUE(installer->isActive(Extension::dnsProxy));
    EXPECT_FALSE(installer->isActive(Extension::contentFilter));
    EXPECT_FALSE(installer->allActive());

    // A later finish for the same request follows the same rules.
    manager.submissions[1].answer().didFinishWithResult(0);
    runQueuedTasks();
    EXPECT_TRUE(installer->allActive());

    installer->activate(Extension::dnsProxy);
    EXPECT_FALSE(installer->allActive()) << "a new request is submitting again";
}

TEST_F(SystemExtensionInstallerTest, SecondActivationReplacesTheFirstInFlight)
{
    installer->activate(Extension::dnsProxy);
    installer->activate(Extension::dnsProxy);
    ASSERT_EQ(manager.submissions.size(), 2);
    const auto& first = manager.submissions[0];
    const auto& second = manager.submissions[1];
    EXPECT_NE(first.watch.lock(), second.watch.lock());
    EXPECT_EQ(first.watch.use_count(), 1) << "the installer let go of the first delegate";
    EXPECT_EQ(second.watch.use_count(), 2);

    // The first request's answer still counts, and removes the entry the extension has now.
    first.answer().didFinishWithResult(0);
    runQueuedTasks();
    EXPECT_EQ(stateOf(Extension::dnsProxy), State::active());
    EXPECT_EQ(second.watch.use_count(), 1);

    second.answer().didFailWithError("late");
    runQueuedTasks();
    EXPECT_EQ(stateOf(Extension::dnsProxy), State::failed(failureText));
}

TEST_F(SystemExtensionInstallerTest, AnswerAfterTheInstallerIsGoneChangesNothing)
{
    installer->activateAll();
    auto& queuedFirst = manager.submissions[0].answer();
    auto& afterwards = manager.submissions[1].answer();

    queuedFirst.didFinishWithResult(0); // its terminal step is queued, not yet run
    installer.reset();
    afterwards.didFailWithError("too late");
    afterwards.requestNeedsUserApproval();
    runQueuedTasks();

    EXPECT_EQ(log.records().size(), 5) << "the delegates still log";
}

} // namespace
