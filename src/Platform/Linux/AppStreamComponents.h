#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

/**
 * Reads which desktop entries AppStream components launch, from a component's metainfo file,
 * a collection (catalog) XML or a DEP-11 YAML catalog, plain or gzip-compressed. Catalogs are
 * streamed: memory stays small whatever their size. Files that are not regular, or larger than
 * the caps of ApplicationIdentity, are skipped.
 */
class AppStreamComponents {
public:
    /** Called for each component with its id and the desktop ids it launches (".desktop" kept). */
    using Sink = std::function<void(const QString& componentId, const QStringList& desktopIds)>;

    /** A metainfo file or collection XML in memory. False when it is not well-formed. */
    static bool readXml(const QByteArray& xml, const Sink& sink);

    /** A DEP-11 YAML document stream in memory. */
    static void readYaml(const QByteArray& yaml, const Sink& sink);

    /**
     * A file by its name: "*.xml", "*.xml.gz", "*.yml", "*.yml.gz". At most maximumSize bytes on
     * disk and maximumExpandedSize once decompressed. False when it was skipped or broken.
     */
    static bool readFile(const QString& path, qint64 maximumSize, qint64 maximumExpandedSize,
                         const Sink& sink);

    /**
     * A component without a launchable whose id ends in ".desktop" launches that entry (the
     * legacy form); its id is then the entry's id without the suffix when that is reverse-DNS.
     */
    [[nodiscard]] static QString normalizedId(const QString& componentId);

    /** At least three dot-separated parts, the first starting with a letter, none empty. */
    [[nodiscard]] static bool isReverseDns(const QString& id);
};
