#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

/**
 * The installed applications' desktop entries (".desktop" files in the XDG data folders),
 * read for their display names. Reads files on each lookup, never blocking on a FIFO or a
 * device and never past maximumEntrySize; safe to use from any thread.
 */
class DesktopEntries {
public:
    /**
     * dataDirs in order of precedence (the user's own first); localeNames in order of
     * preference, each as "lang_COUNTRY@MODIFIER" or a shorter form of it.
     */
    DesktopEntries(QStringList dataDirs, QStringList localeNames);

    /** The data folders and the message locales of this process's environment. */
    static DesktopEntries fromEnvironment();

    /**
     * The Name of the entry with this desktop-file id ("org.example.App", with or without
     * ".desktop"), in the most preferred locale the entry carries; none when no folder holds
     * the entry or it has no usable Name.
     */
    [[nodiscard]] std::optional<QString> name(const QString& desktopId) const;

    /** What an entry says about its application. */
    struct Entry {
        std::optional<QString> name; // Name in the most preferred locale
        QString startupWMClass;
        bool hidden = false;     // Hidden=true: the entry counts as deleted
        bool application = true; // Type is Application (or missing)
    };

    /** The [Desktop Entry] group of an entry's contents; none when there is no such group. */
    [[nodiscard]] static std::optional<Entry> parse(const QByteArray& contents,
                                                    const QStringList& localeNames);

    /** Largest desktop entry read; a larger file counts as absent. */
    static constexpr qint64 maximumEntrySize = 1 << 20;

    /** The Name in an entry's contents, chosen as name() does. */
    [[nodiscard]] static std::optional<QString> nameIn(const QByteArray& contents,
                                                       const QStringList& localeNames);

    /**
     * The keys a locale such as "de_DE.UTF-8@euro" matches, best first: "de_DE@euro",
     * "de_DE", "de@euro", "de". None for an empty, "C" or "POSIX" locale.
     */
    [[nodiscard]] static QStringList localeKeys(const QString& locale);

    [[nodiscard]] const QStringList& dataDirs() const { return m_dataDirs; }
    [[nodiscard]] const QStringList& localeNames() const { return m_localeNames; }

private:
    QStringList m_dataDirs;
    QStringList m_localeNames;
};
