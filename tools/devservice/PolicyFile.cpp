#include "PolicyFile.h"

#include "Models/Policy.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

namespace {

/** The object with the child filled in when it has none; nothing unless it is a JSON object. */
std::optional<Json::Value> withChild(const QByteArray& content, const QUuid& childId)
{
    try {
        Json::Value value = Json::parse(content);
        if (!value.is_object())
            return std::nullopt;
        if (!value.contains("childId") || value["childId"].is_null())
            value["childId"] = Json::Codec<QUuid>::write(childId);
        return value;
    } catch (const Json::DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

PolicyFile::PolicyFile(QString path, LineWriter note, QObject* parent)
    : QObject(parent), m_path(std::move(path)), m_note(std::move(note))
{
    // Editors save by writing a new file and renaming it over the old one, which ends the
    // watch on the file; the folder's watch sees the new one arrive.
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &PolicyFile::reload);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &PolicyFile::reload);
}

bool PolicyFile::load(QString* error)
{
    if (m_path.isEmpty())
        return true;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("cannot read the policy file %1: %2").arg(m_path, file.errorString());
        return false;
    }
    m_content = file.readAll();
    m_watcher.addPath(QFileInfo(m_path).absolutePath());
    m_watcher.addPath(m_path);
    checkContent();
    return true;
}

QByteArray PolicyFile::contentFor(const QUuid& childId) const
{
    const auto value = withChild(m_content, childId);
    return value ? Json::write(*value) : m_content;
}

void PolicyFile::reload()
{
    if (!m_watcher.files().contains(m_path) && QFileInfo::exists(m_path))
        m_watcher.addPath(m_path);
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return; // gone for the moment (being replaced): keep the last content
    const QByteArray content = file.readAll();
    if (content == m_content)
        return;
    m_content = content;
    m_note(QStringLiteral("Policy file reloaded: %1").arg(m_path));
    checkContent();
}

void PolicyFile::checkContent()
{
    const auto value = withChild(m_content, QUuid::createUuid());
    QString problem = QStringLiteral("it is not a JSON object");
    if (value) {
        try {
            Json::Codec<Policy>::read(*value, std::string());
            return;
        } catch (const Json::DecodingError& e) {
            problem = QString::fromStdString(e.what());
        }
    }
    m_note(QStringLiteral("Policy file %1 does not read as a policy (%2); it is served as it is")
               .arg(m_path, problem));
}
