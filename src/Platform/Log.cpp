#include "Platform/Log.h"

#include <mutex>

namespace Log {

// Defined by the platform backend.
void emitToSystem(const Record& record);

namespace {

std::mutex captureMutex;
QList<Record>* captured = nullptr;

std::mutex prefixMutex;
QString programPrefix;

void dispatch(Record record)
{
    {
        std::lock_guard lock(captureMutex);
        if (captured) {
            captured->push_back(std::move(record));
            return;
        }
    }
    emitToSystem(record);
}

} // namespace

void plain(const QString& line)
{
    QString prefix;
    {
        std::lock_guard lock(prefixMutex);
        prefix = programPrefix;
    }
    dispatch({QString(), QString(), Level::info, line.startsWith(prefix) ? line : prefix + line});
}

void setProgramPrefix(const QString& prefix)
{
    std::lock_guard lock(prefixMutex);
    programPrefix = prefix;
}

void write(const QString& subsystem, const QString& category, Level level, const QString& message)
{
    dispatch({subsystem, category, level, message});
}

Capture::Capture()
{
    std::lock_guard lock(captureMutex);
    captured = new QList<Record>;
}

Capture::~Capture()
{
    std::lock_guard lock(captureMutex);
    delete captured;
    captured = nullptr;
}

QList<Record> Capture::records() const
{
    std::lock_guard lock(captureMutex);
    return captured ? *captured : QList<Record>{};
}

QStringList Capture::messages() const
{
    QStringList lines;
    for (const auto& r : records())
        lines << r.message;
    return lines;
}

} // namespace Log
