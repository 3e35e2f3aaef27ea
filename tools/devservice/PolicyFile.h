#pragma once

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>

/**
 * The policy the service hands out, from a JSON file that is read again whenever it changes,
 * also when an editor replaces it. Without a file the policy is "{}". The content is served as
 * it is, so a test can hand out a broken policy on purpose; a JSON object without a childId
 * gets the asking device's.
 */
class PolicyFile final : public QObject {
    Q_OBJECT

public:
    using LineWriter = std::function<void(const QString&)>;

    /** An empty path means no file. Notices (reloads, content that is no policy) go to note. */
    PolicyFile(QString path, LineWriter note, QObject* parent = nullptr);

    /** Reads the file and starts watching it; false with a reason when it cannot be read. */
    bool load(QString* error);

    [[nodiscard]] QByteArray contentFor(const QUuid& childId) const;

private:
    void reload();
    void checkContent();

    QString m_path;
    LineWriter m_note;
    QFileSystemWatcher m_watcher;
    QByteArray m_content = "{}";
};
