#include "Platform/Linux/DesktopEntries.h"

#include "TestSupport/ScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(DesktopEntries, LocaleKeysTable)
{
    const struct {
        const char* locale;
        QStringList keys;
    } cases[] = {
        {"de_DE.UTF-8@euro", {"de_DE@euro", "de_DE", "de@euro", "de"}},
        {"de_DE.UTF-8", {"de_DE", "de"}},
        {"pt_BR", {"pt_BR", "pt"}},
        {"sr@latin", {"sr@latin", "sr"}},
        {"fr", {"fr"}},
        {"C", {}},
        {"C.UTF-8", {}},
        {"POSIX", {}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DesktopEntries::localeKeys(QString::fromUtf8(c.locale)), c.keys) << c.locale;
}

TEST(DesktopEntries, NameTable)
{
    const QStringList german = DesktopEntries::localeKeys(QStringLiteral("de_DE.UTF-8"));
    const struct {
        const char* name;
        const char* contents;
        QStringList locales;
        std::optional<QString> expected;
    } cases[] = {
        {"plain", "[Desktop Entry]\nType=Application\nName=Editor\n", german, "Editor"},
        {"country before language",
         "[Desktop Entry]\nName=Editor\nName[de]=Bearbeiter\nName[de_DE]=Editor DE\n", german,
         "Editor DE"},
        {"language when the country is missing",
         "[Desktop Entry]\nName=Editor\nName[de]=Bearbeiter\n", german, "Bearbeiter"},
        {"another locale only", "[Desktop Entry]\nName=Editor\nName[fr]=Editeur\n", german,
         "Editor"},
        {"no locale", "[Desktop Entry]\nName=Editor\nName[de]=Bearbeiter\n", {}, "Editor"},
        {"empty localized value", "[Desktop Entry]\nName=Editor\nName[de]=\n", german, "Editor"},
        {"spaces, comments, CRLF, escapes",
         "# comment\r\n\r\n[Desktop Entry]\r\n  Name = My\\sEditor\\\\ \r\n",
         {},
         "My Editor\\"},
        {"UTF-8",
         "[Desktop Entry]\nName=\xc3\x89"
         "diteur\n",
         {},
         QString::fromUtf8("\u00c9diteur")},
        {"first occurrence wins", "[Desktop Entry]\nName=First\nName=Second\n", {}, "First"},
        {"other groups ignored",
         "Name=Loose\n[Desktop Action new]\nName=New Window\n[Desktop Entry]\nExec=x\n",
         {},
         std::nullopt},
        {"entry ends at the next group",
         "[Desktop Entry]\nName=Editor\n[Desktop Action a]\nName[de]=Neu\n", german, "Editor"},
        {"no Name", "[Desktop Entry]\nType=Application\n", german, std::nullopt},
        {"not an entry", "\x01\x02garbage", german, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DesktopEntries::nameIn(QByteArray(c.contents), c.locales), c.expected) << c.name;
}

TEST(DesktopEntries, LooksUpTheFirstFolderThatHoldsTheEntry)
{
    QTemporaryDir user, system;
    ASSERT_TRUE(user.isValid() && system.isValid());
    const auto write = [](const QTemporaryDir& dir, const QString& file, const QByteArray& text) {
        QDir(dir.path()).mkpath(QStringLiteral("applications"));
        QFile f(dir.path() + QStringLiteral("/applications/") + file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write(user, QStringLiteral("org.example.Editor.desktop"), "[Desktop Entry]\nName=Mine\n");
    write(system, QStringLiteral("org.example.Editor.desktop"), "[Desktop Entry]\nName=Theirs\n");
    write(system, QStringLiteral("org.example.Viewer.desktop"), "[Desktop Entry]\nName=Viewer\n");
    write(system, QStringLiteral("secret.desktop"), "[Desktop Entry]\nName=Secret\n");

    const DesktopEntries entries({user.path(), system.path()}, {});
    const struct {
        const char* id;
        std::optional<QString> expected;
    } cases[] = {
        {"org.example.Editor", "Mine"},
        {"org.example.Viewer", "Viewer"},
        {"org.example.Viewer.desktop", "Viewer"},
        {"org.example.Missing", std::nullopt},
        {"", std::nullopt},
        {"../applications/secret", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(entries.name(QString::fromUtf8(c.id)), c.expected) << c.id;
}

TEST(DesktopEntries, ReadsFoldersAndLocalesFromTheEnvironment)
{
    const char* names[] = {"XDG_DATA_HOME", "XDG_DATA_DIRS", "HOME",    "LC_ALL",
                           "LC_MESSAGES",   "LANG",          "LANGUAGE"};
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> environment;
        QStringList dirs;
        QStringList locales;
    } cases[] = {
        {"defaults",
         {{"HOME", "/home/kid"}, {"LANG", "de_AT.UTF-8"}},
         {"/home/kid/.local/share", "/usr/local/share", "/usr/share"},
         {"de_AT", "de"}},
        {"explicit folders, LC_ALL first",
         {{"XDG_DATA_HOME", "/data/home"},
          {"XDG_DATA_DIRS", "/a:/b::/a"},
          {"LC_ALL", "fr_FR.UTF-8"},
          {"LANG", "de_DE.UTF-8"}},
         {"/data/home", "/a", "/b"},
         {"fr_FR", "fr"}},
        {"LANGUAGE before the locale",
         {{"LC_MESSAGES", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:en"}},
         {"/usr/local/share", "/usr/share"},
         {"pt_BR", "pt", "en", "de_DE", "de"}},
        {"LANGUAGE ignored under C",
         {{"LANG", "C"}, {"LANGUAGE", "pt_BR"}},
         {"/usr/local/share", "/usr/share"},
         {}},
    };
    for (const auto& c : cases) {
        ScopedEnvironment environment;
        for (const char* name : names)
            environment.unset(name);
        for (const auto& [name, value] : c.environment)
            environment.set(name, value);
        const auto entries = DesktopEntries::fromEnvironment();
        EXPECT_EQ(entries.dataDirs(), c.dirs) << c.name;
        EXPECT_EQ(entries.localeNames(), c.locales) << c.name;
    }
}

} // namespace
