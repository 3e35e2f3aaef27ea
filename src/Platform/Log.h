#pragma once

#include <QList>
#include <QString>

/**
 * The system log. Plain lines stand for the programs' own log lines; structured lines carry a
 * subsystem, a category and a level. Safe to call from any thread.
 */
namespace Log {

enum class Level { info, error };

struct Record {
    QString subsystem; // empty for a plain line
    QString category;  // empty for a plain line
    Level level = Level::info;
    QString message;

    bool operator==(const Record&) const = default;
};

/**
 * One plain line, with the program's prefix in front unless the line already begins with it
 * (the programs' own lines carry it themselves).
 */
void plain(const QString& line);

/**
 * The program's prefix for plain lines, as "[OrvaneHelper] ". Set once by each program's main
 * before anything logs; empty (no prefix) until then.
 */
void setProgramPrefix(const QString& prefix);

/** One line under a subsystem and category, at a level. */
void write(const QString& subsystem, const QString& category, Level level, const QString& message);

/**
 * While one exists, every line goes to it instead of the system log, so a test can read what a
 * component wrote. Captures do not nest.
 */
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    [[nodiscard]] QList<Record> records() const;
    [[nodiscard]] QStringList messages() const;
};

} // namespace Log
