// The system log on Linux: every line to stderr, and to the journal when one is running.
#include "Platform/Log.h"

#include <QDateTime>
#include <QFileInfo>

#include <systemd/sd-journal.h>
#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace Log {

void emitToSystem(const Record& record)
{
    static const bool journalRunning =
        QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"));
    static std::mutex stderrMutex;

    const QByteArray message = record.message.toUtf8();
    const int priority = record.level == Level::error ? LOG_ERR : LOG_INFO;
    {
        std::lock_guard lock(stderrMutex);
        const QByteArray stamp =
            QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
        if (record.subsystem.isEmpty()) {
            std::fprintf(stderr, "%s %s\n", stamp.constData(), message.constData());
        } else {
            std::fprintf(stderr, "%s [%s:%s] %s: %s\n", stamp.constData(),
                         record.subsystem.toUtf8().constData(),
                         record.category.toUtf8().constData(),
                         record.level == Level::error ? "error" : "info", message.constData());
        }
        std::fflush(stderr);
    }
    if (!journalRunning)
        return;
    if (record.subsystem.isEmpty()) {
        sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%i", priority, nullptr);
    } else {
        sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%i", priority,
                        "ORVANE_SUBSYSTEM=%s", record.subsystem.toUtf8().constData(),
                        "ORVANE_CATEGORY=%s", record.category.toUtf8().constData(), nullptr);
    }
}

} // namespace Log
