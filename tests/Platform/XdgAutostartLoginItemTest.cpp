#include "Platform/Linux/XdgAutostartLoginItem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString identifier = QStringLiteral("ai.orvane.mac.helper");

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/** A bundle with its helper in LoginItems/ and an autostart folder that does not exist yet. */
class LoginItemFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        writeFile(helperDir() + "/Info.json", R"({"CFBundleIdentifier": "ai.orvane.mac.helper"})");
        writeFile(helperPath(), "#!/bin/sh\n");
        QFile::setPermissions(helperPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString bundleDir() const { return root.filePath("My Apps/OrvaneMac"); }
    QString helperDir() const { return bundleDir() + "/LoginItems/OrvaneMacHelper"; }
    QString helperPath() const { return helperDir() + "/OrvaneMacHelper"; }
    QString autostartDir() const { return root.filePath("config/autostart"); }

    XdgAutostartLoginItem item() const { return {identifier, autostartDir(), bundleDir()}; }

    QTemporaryDir root;
};

} // namespace

TEST_F(LoginItemFixture, RegisteringWritesAnEntryThatStartsTheHelper)
{
    auto login = item();
    EXPECT_EQ(login.status(), LoginItemService::notRegistered);

    EXPECT_EQ(login.registerItem(), std::nullopt);
    EXPECT_EQ(login.status(), LoginItemService::enabled);

    EXPECT_EQ(login.entryPath(), autostartDir() + "/ai.orvane.mac.helper.desktop");
    const QString entry = QString::fromUtf8(readFile(login.entryPath()));
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nType=Application\n"));
    // The path holds a space, so it is quoted.
    EXPECT_TRUE(entry.contains("\nExec=\"" + helperPath() + "\"\n")) << entry.toStdString();
}

TEST_F(LoginItemFixture, StatusFollowsTheEntry)
{
    const QByteArray exec =
        "Exec=" + XdgAutostartLoginItem::execValue(helperPath()).toUtf8() + "\n";
    const struct {
        const char* name;
        QByteArray entry;
        int status;
    } cases[] = {
        {"ours", "[Desktop Entry]\nType=Application\n" + exec, LoginItemService::enabled},
        {"hidden", "[Desktop Entry]\n" + exec + "Hidden=true\n",
         LoginItemService::requiresApproval},
        {"disabled in GNOME", "[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n",
         LoginItemService::requiresApproval},
        {"explicitly shown", "[Desktop Entry]\n" + exec + "Hidden=false\n",
         LoginItemService::enabled},
        {"another program", "[Desktop Entry]\nExec=/usr/bin/true\n",
         LoginItemService::notRegistered},
        {"disabled, another program", "[Desktop Entry]\nExec=/usr/bin/true\nHidden=true\n",
         LoginItemService::requiresApproval},
        {"exec in another group", "[Desktop Action x]\n" + exec, LoginItemService::notRegistered},
        {"unclosed quote", "[Desktop Entry]\nExec=\"" + helperPath().toUtf8() + "\n",
         LoginItemService::notRegistered},
        {"empty file", "", LoginItemService::notRegistered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(item().entryPath(), c.entry);
        EXPECT_EQ(item().status(), c.status);
    }
}

TEST_F(LoginItemFixture, MissingHelperIsNotFoundAndCannotBeRegistered)
{
    const struct {
        const char* name;
        std::function<void()> breakBundle;
    } cases[] = {
        {"removed", [this] { QFile::remove(helperPath()); }},
        {"not executable",
         [this] { QFile::setPermissions(helperPath(), QFile::ReadOwner | QFile::WriteOwner); }},
        {"other identifier",
         [this] { writeFile(helperDir() + "/Info.json", R"({"CFBundleIdentifier": "other"})"); }},
        {"no Info.json", [this] { QFile::remove(helperDir() + "/Info.json"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        QFile::remove(item().entryPath());
        c.breakBundle();
        auto login = item();
        EXPECT_EQ(login.status(), LoginItemService::notFound);
        const auto error = login.registerItem();
        ASSERT_TRUE(error.has_value());
        EXPECT_FALSE(error->isEmpty());
        EXPECT_FALSE(QFile::exists(login.entryPath()));
    }
}

TEST_F(LoginItemFixture, RegisteringReportsAFolderThatCannotBeMade)
{
    writeFile(root.filePath("config"), "a file where the folder should be");
    auto login = item();
    const auto error = login.registerItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->contains(autostartDir())) << error->toStdString();
    EXPECT_EQ(login.status(), LoginItemService::notRegistered);
}

TEST_F(LoginItemFixture, RegisteringReplacesAnEntryOfAnotherProgram)
{
    writeFile(item().entryPath(), "[Desktop Entry]\nExec=/opt/old/OrvaneMacHelper\n");
    auto login = item();
    ASSERT_EQ(login.status(), LoginItemService::notRegistered);
    EXPECT_EQ(login.registerItem(), std::nullopt);
    EXPECT_EQ(login.status(), LoginItemService::enabled);
}

TEST(XdgAutostartExec, QuotesAndEscapesReservedCharacters)
{
    const QString program = QStringLiteral(R"(/opt/My "Apps"/100%/a\b/$x`y)");
    const QString exec = XdgAutostartLoginItem::execValue(program);
    // Quoting escapes " ` $ \ with a backslash and doubles %; the value then escapes each
    // backslash once more.
    EXPECT_EQ(exec, QStringLiteral(R"("/opt/My \\"Apps\\"/100%%/a\\\\b/\\$x\\`y")"));
    EXPECT_EQ(XdgAutostartLoginItem::programOfExec(exec), program);
}

TEST(XdgAutostartExec, ReadsTheFirstArgument)
{
    const struct {
        const char* exec;
        std::optional<QString> program;
    } cases[] = {
        {"/usr/bin/helper --flag", QStringLiteral("/usr/bin/helper")},
        {"  \"/a b/helper\" %u", QStringLiteral("/a b/helper")},
        {"\"/a\\sb\"", QStringLiteral("/a b")}, // \s is a space in any string value
        {"", std::nullopt},
        {"\"/never closed", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exec);
        EXPECT_EQ(XdgAutostartLoginItem::programOfExec(QString::fromUtf8(c.exec)), c.program);
    }
}
