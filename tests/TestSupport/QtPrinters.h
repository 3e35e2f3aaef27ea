#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <ostream>

// Readable GoogleTest messages for Qt values (found by argument-dependent lookup).
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray& b, std::ostream* os)
{
    *os << '"' << b.toStdString() << '"';
}
inline void PrintTo(const QUrl& u, std::ostream* os)
{
    *os << u.toString().toStdString();
}
