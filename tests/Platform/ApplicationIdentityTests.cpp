// The identity rule over small copies of real Debian applications' desktop entries and AppStream
// data (fixtures/identity), laid out as a system data folder, a user's own folder, a gzip DEP-11
// catalog and a /proc of the test's own.
#include "Platform/Linux/ApplicationIdentity.h"

#include "Platform/Linux/AppStreamComponents.h"
#include "Platform/Linux/DesktopEntries.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <zlib.h>

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <ostream>
#include <thread>

void PrintTo(const RunningApplication& application, std::ostream* out)
{
    const auto text = [](const std::optional<QString>& value) {
        return value ? '"' + value->toStdString() + '"' : std::string("none");
    };
    *out << "{" << text(application.bundleIdentifier) << ", " << text(application.localizedName)
         << "}";
}

namespace {

using namespace std::chrono_literals;

RunningApplication app(std::optional<QString> identifier, std::optional<QString> name)
{
    return {std::move(identifier), std::move(name)};
}

QString fixtures()
{
    return qEnvironmentVariable("ORVANE_SOURCE_DIR") +
           QStringLiteral("/tests/Platform/fixtures/identity");
}

void write(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(contents);
}

void copyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        write(to + path.mid(from.size()), file.readAll());
    }
}

void writeGzip(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    gzFile file = gzopen(path.toLocal8Bit().constData(), "wb");
    ASSERT_NE(file, nullptr);
    gzwrite(file, contents.constData(), unsigned(contents.size()));
    gzclose(file);
}

class ApplicationIdentityTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        copyTree(fixtures() + QStringLiteral("/applications"), system() + "/applications");
        copyTree(fixtures() + QStringLiteral("/metainfo"), system() + "/metainfo");
        QFile catalog(fixtures() + QStringLiteral("/swcatalog/catalog.yml"));
        ASSERT_TRUE(catalog.open(QIODevice::ReadOnly));
        writeGzip(path("catalog/Components-amd64.yml.gz"), catalog.readAll());
        QDir().mkpath(user() + "/applications");
    }

    QString path(const QString& relative) const { return root.filePath(relative); }
    QString system() const { return path(QStringLiteral("system")); }
    QString user() const { return path(QStringLiteral("user")); }
    QString proc() const { return path(QStringLiteral("proc")); }

    ApplicationIdentity identity(QStringList locales = {QStringLiteral("de_DE"),
                                                        QStringLiteral("de")}) const
    {
        return ApplicationIdentity({user(), system()}, std::move(locales),
                                   {path(QStringLiteral("catalog"))}, proc());
    }

    QTemporaryDir root;
};

TEST_F(ApplicationIdentityTest, RealApplicationsTable)
{
    // Processes: a GNOME launch, a KDE launch (no launcher part), a Flatpak, a Snap.
    write(proc() + "/100/cgroup", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-gnome-firefox\\x2desr-4242.scope\n");
    write(proc() + "/101/cgroup", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                  "app-org.kde.konsole-77.scope\n");
    write(proc() + "/102/root/.flatpak-info", "[Application]\nname=org.example.Flat\n"
                                              "runtime=runtime/org.kde.Platform/x86_64/6.6\n");
    write(proc() + "/102/cgroup",
          "0::/user.slice/app.slice/app-flatpak-org.example.Flat-9.scope\n");
    write(proc() + "/103/cgroup",
          "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
          "snap.example-snap.example-snap-3f2b1c4d-aaaa-bbbb-cccc-0123456789ab.scope\n");
    write(proc() + "/104/cgroup", "0::/user.slice/user-1000.slice/session-2.scope\n");
    write(system() + "/applications/org.example.Flat.desktop",
          "[Desktop Entry]\nType=Application\nName=Flat\n");
    write(system() + "/applications/example-snap_example-snap.desktop",
          "[Desktop Entry]\nType=Application\nName=Snapped\n");

    const QString megabyte(1 << 20, u'a');
    const QByteArray invalidUtf8("\xff\xfe"
                                 "foot");
    const struct {
        const char* name;
        WindowHints hints;
        RunningApplication expected;
    } cases[] = {
        // hints: appId, GTK id, KDE desktop file, WM_CLASS instance, WM_CLASS class, pid
        {"VLC on X11: WM_CLASS names the entry, metainfo the component",
         {{}, {}, {}, "vlc", "vlc", 0},
         app("org.videolan.vlc", "VLC Media Player")},
        {"VLC on Wayland", {"vlc", {}, {}, {}, {}, 0}, app("org.videolan.vlc", "VLC Media Player")},
        {"LibreOffice Writer on X11: StartupWMClass, legacy metainfo",
         {{}, {}, {}, "libreoffice", "libreoffice-writer", 0},
         app("libreoffice-writer.desktop", "LibreOffice Writer")},
        {"LibreOffice Writer on Wayland",
         {"libreoffice-writer", {}, {}, {}, {}, 0},
         app("libreoffice-writer.desktop", "LibreOffice Writer")},
        {"Konsole on X11: KDE desktop file, legacy .desktop component id",
         {{}, {}, "org.kde.konsole", "konsole", "konsole", 0},
         app("org.kde.konsole", "Konsole")},
        {"Konsole by WM_CLASS only",
         {{}, {}, {}, "konsole", "konsole", 0},
         app("org.kde.konsole", "Konsole")},
        {"Konsole on Wayland",
         {"org.kde.konsole", {}, {}, {}, {}, 0},
         app("org.kde.konsole", "Konsole")},
        {"Firefox ESR on X11",
         {{}, {}, {}, "Navigator", "firefox-esr", 0},
         app("firefox-esr.desktop", "Firefox ESR")},
        {"Firefox ESR on Wayland",
         {"firefox-esr", {}, {}, {}, {}, 0},
         app("firefox-esr.desktop", "Firefox ESR")},
        {"Chromium on X11",
         {{}, {}, {}, "chromium", "Chromium", 0},
         app("chromium.desktop", "Chromium-Webbrowser")},
        {"Chromium on Wayland",
         {"chromium", {}, {}, {}, {}, 0},
         app("chromium.desktop", "Chromium-Webbrowser")},
        {"foot", {"foot", {}, {}, {}, {}, 0}, app("foot.desktop", "Foot")},
        {"foot with .desktop", {"foot.desktop", {}, {}, {}, {}, 0}, app("foot.desktop", "Foot")},
        {"footclient", {"footclient", {}, {}, {}, {}, 0}, app("footclient.desktop", "Foot Client")},
        {"xterm: Debian's entry by StartupWMClass",
         {{}, {}, {}, "xterm", "XTerm", 0},
         app("debian-xterm.desktop", "XTerm")},
        {"uxterm", {{}, {}, {}, "xterm", "UXTerm", 0}, app("debian-uxterm.desktop", "UXTerm")},
        {"case differs",
         {"FIREFOX-ESR", {}, {}, {}, {}, 0},
         app("firefox-esr.desktop", "Firefox ESR")},
        {"GTK id before WM_CLASS",
         {{}, "chromium", {}, "xterm", "XTerm", 0},
         app("chromium.desktop", "Chromium-Webbrowser")},
        {"an unknown app id falls through to WM_CLASS",
         {"org.example.Unknown", {}, {}, "xterm", "XTerm", 0},
         app("debian-xterm.desktop", "XTerm")},
        {"catalog only",
         {"catalogued", {}, {}, {}, {}, 0},
         app("org.example.Catalogued", "Catalogued")},
        {"process: GNOME's scope",
         {{}, {}, {}, "mystery", "Mystery", 100},
         app("firefox-esr.desktop", "Firefox ESR")},
        {"process: KDE's scope", {{}, {}, {}, {}, {}, 101}, app("org.kde.konsole", "Konsole")},
        {"process: Flatpak", {{}, {}, {}, {}, {}, 102}, app("org.example.Flat", "Flat")},
        {"process: Snap",
         {{}, {}, {}, {}, {}, 103},
         app("example-snap_example-snap.desktop", "Snapped")},
        {"process: a session scope names nothing", {{}, {}, {}, {}, {}, 104}, app({}, {})},
        {"process: gone", {{}, {}, {}, {}, {}, 99999}, app({}, {})},
        {"WM_CLASS without an entry", {{}, {}, {}, "mystery", "Mystery", 0}, app({}, {})},
        {"nothing", {}, app({}, {})},
        {"a path is no id", {"../applications/foot", {}, {}, {}, {}, 0}, app({}, {})},
        {"an app id of a megabyte", {megabyte, {}, {}, {}, {}, 0}, app({}, {})},
        {"invalid UTF-8", {QString::fromUtf8(invalidUtf8), {}, {}, {}, {}, 0}, app({}, {})},
        {"NUL inside", {QStringLiteral("foot\0x"), {}, {}, {}, {}, 0}, app({}, {})},
    };
    const auto rule = identity();
    for (const auto& c : cases)
        EXPECT_EQ(rule.resolve(c.hints), c.expected) << c.name;

    EXPECT_EQ(identity({}).resolve({{}, {}, {}, "chromium", "Chromium", 0}),
              app("chromium.desktop", "Chromium Web Browser"))
        << "no locale: the plain Name";
    EXPECT_EQ(rule.desktopId({{}, {}, {}, "vlc", "vlc", 0}), QStringLiteral("vlc.desktop"));
}

TEST_F(ApplicationIdentityTest, UserFolderOverridesAndHides)
{
    write(user() + "/applications/vlc.desktop", "[Desktop Entry]\nType=Application\nName=My VLC\n");
    write(user() + "/applications/chromium.desktop",
          "[Desktop Entry]\nType=Application\nName=Chromium\nHidden=true\n");
    write(user() + "/applications/kde4/kate.desktop", "[Desktop Entry]\nName=Kate\n");
    write(user() + "/applications/settings.desktop", "[Desktop Entry]\nType=Link\nName=Link\n");
    const auto rule = identity();
    EXPECT_EQ(rule.resolve({"vlc", {}, {}, {}, {}, 0}), app("org.videolan.vlc", "My VLC"));
    EXPECT_EQ(rule.resolve({"chromium", {}, {}, {}, {}, 0}), app({}, {}));
    EXPECT_EQ(rule.resolve({"kde4-kate", {}, {}, {}, {}, 0}), app("kde4-kate.desktop", "Kate"));
    EXPECT_EQ(rule.resolve({"settings", {}, {}, {}, {}, 0}), app({}, {}));
}

TEST_F(ApplicationIdentityTest, AnEntryInstalledLaterIsFoundOnALaterMiss)
{
    const auto rule = identity();
    const WindowHints hints{"org.example.Late", {}, {}, {}, {}, 0};
    ASSERT_EQ(rule.resolve(hints), app({}, {}));
    write(user() + "/applications/org.example.Late.desktop", "[Desktop Entry]\nName=Late\n");
    // Misses re-check the folders at most every few seconds.
    RunningApplication found;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         !found.bundleIdentifier && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(100ms))
        found = rule.resolve(hints);
    EXPECT_EQ(found, app("org.example.Late", "Late"));
}

// A FIFO would block a plain open() until a writer comes; a huge file is over the caps.
TEST_F(ApplicationIdentityTest, FifosDevicesAndHugeFilesAreSkippedWithoutBlocking)
{
    ASSERT_EQ(::mkfifo((user() + "/applications/fifo.desktop").toLocal8Bit().constData(), 0600), 0);
    ASSERT_EQ(::mkfifo((system() + "/metainfo/fifo.metainfo.xml").toLocal8Bit().constData(), 0600),
              0);
    ASSERT_EQ(::mkfifo(path("catalog/fifo.yml").toLocal8Bit().constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), user() + "/applications/zero.desktop"));
    {
        QFile huge(user() + "/applications/huge.desktop");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        huge.write("[Desktop Entry]\nName=Huge\n");
        ASSERT_TRUE(huge.resize(DesktopEntries::maximumEntrySize + 1)); // sparse
    }
    {
        QFile huge(system() + "/metainfo/huge.metainfo.xml");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        huge.write("<component><id>org.example.Huge</id>"
                   "<launchable type=\"desktop-id\">foot.desktop</launchable></component>");
        ASSERT_TRUE(huge.resize(ApplicationIdentity::maximumMetainfoSize + 1));
    }

    auto done = std::async(std::launch::async, [this] {
        const auto rule = identity();
        const DesktopEntries entries({user()}, {});
        return std::vector<std::optional<QString>>{
            rule.resolve({"fifo", {}, {}, {}, {}, 0}).bundleIdentifier,
            rule.resolve({"zero", {}, {}, {}, {}, 0}).bundleIdentifier,
            rule.resolve({"huge", {}, {}, {}, {}, 0}).bundleIdentifier,
            rule.resolve({"foot", {}, {}, {}, {}, 0}).bundleIdentifier,
            entries.name(QStringLiteral("fifo")),
            entries.name(QStringLiteral("huge")),
        };
    });
    ASSERT_EQ(done.wait_for(60s), std::future_status::ready) << "a FIFO blocked the lookup";
    const std::vector<std::optional<QString>> expected{std::nullopt, std::nullopt,
                                                       std::nullopt, QStringLiteral("foot.desktop"),
                                                       std::nullopt, std::nullopt};
    EXPECT_EQ(done.get(), expected);
}

TEST(ApplicationIdentity, DesktopIdsFromCgroupTable)
{
    const struct {
        const char* contents;
        QStringList expected;
    } cases[] = {
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
         "app-gnome-org.gnome.Terminal-1234.scope\n",
         {"org.gnome.Terminal", "gnome-org.gnome.Terminal"}},
        {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
         "app-firefox\\x2desr-12.scope",
         {"firefox-esr"}},
        {"0::/user.slice/u/app.slice/app-dbus\\x2d:1.2\\x2dorg.kde.x-3.scope",
         {"dbus-:1.2-org.kde.x"}},
        {"0::/app.slice/app-gnome-vlc@8b0e.service", {"vlc", "gnome-vlc"}},
        {"0::/app.slice/app-org.kde.dolphin@0.service", {"org.kde.dolphin"}},
        {"0::/app.slice/app-flatpak-org.mozilla.firefox-3461.scope", {"org.mozilla.firefox"}},
        {"0::/app.slice/snap.firefox.firefox.6e4d1b07-2c5b-4c8a-9d2f-0a1b2c3d4e5f.scope",
         {"firefox_firefox"}},
        {"12:pids:/user.slice\n0::/user.slice/user-1000.slice/session-2.scope\n", {}},
        {"0::/", {}},
        {"", {}},
        {"\xff\xfe/app-\xff-1.scope", {"\xef\xbf\xbd"}},
        // An escape is "\x" and two hex digits, either case; anything else stays text.
        {"0::/app.slice/app-flatpak-org.a\\x2Db-1.scope", {"org.a-b"}},
        {"0::/app.slice/app-a\\x-db-1.scope", {"db", "a\\x-db"}},
        {"0::/app.slice/app-flatpak-a\\x+fb\\x 1c\\x2-1.scope", {"a\\x+fb\\x 1c\\x2"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ApplicationIdentity::desktopIdsFromCgroup(c.contents), c.expected) << c.contents;
}

TEST(AppStreamComponents, ReadsIdsAndLaunchables)
{
    using Seen = std::vector<std::pair<QString, QStringList>>;
    const auto collect = [](Seen& seen) {
        return [&seen](const QString& id, const QStringList& launchables) {
            seen.emplace_back(id, launchables);
        };
    };
    Seen xml;
    EXPECT_TRUE(AppStreamComponents::readXml(
        "<?xml version=\"1.0\"?><components version=\"0.14\">"
        "<component type=\"desktop-application\"><id>org.example.A</id>"
        "<launchable type=\"desktop-id\">a.desktop</launchable>"
        "<launchable type=\"url\">https://a</launchable>"
        "<provides><id>nested.desktop</id></provides></component>"
        "<component><id>legacy.desktop</id></component></components>",
        collect(xml)));
    EXPECT_EQ(xml, (Seen{{"org.example.A", {"a.desktop"}}, {"legacy.desktop", {}}}));

    Seen broken;
    EXPECT_FALSE(AppStreamComponents::readXml("<component><id>x</id>", collect(broken)));
    EXPECT_FALSE(AppStreamComponents::readXml("\xff\xfe<<", collect(broken)));

    Seen yaml;
    AppStreamComponents::readYaml("---\nID: 'org.example.Y'\nLaunchable:\n  desktop-id:\n"
                                  "  - y.desktop\n  - \"y2.desktop\"\n  service:\n  - s\n"
                                  "Name:\n  C: Y\n---\nID: org.example.Z\n",
                                  collect(yaml));
    EXPECT_EQ(yaml, (Seen{{"org.example.Y", {"y.desktop", "y2.desktop"}}, {"org.example.Z", {}}}));

    const struct {
        const char* id;
        const char* normalized;
    } ids[] = {{"org.kde.konsole.desktop", "org.kde.konsole"},
               {"libreoffice-writer.desktop", "libreoffice-writer.desktop"},
               {"python3.11.desktop", "python3.11.desktop"},
               {"org.videolan.vlc", "org.videolan.vlc"},
               {"..desktop", "..desktop"}};
    for (const auto& c : ids)
        EXPECT_EQ(AppStreamComponents::normalizedId(c.id), c.normalized) << c.id;
}

} // namespace
