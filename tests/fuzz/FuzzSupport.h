#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

// Each target defines this; libFuzzer drives it in the fuzz build, ReplayMain.cpp elsewhere.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace Fuzz {

inline QByteArray bytes(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

/** Text as a widget or a file may carry it: lone surrogates included (raw UTF-16). */
inline QString utf16(const std::uint8_t* data, std::size_t size)
{
    return QString(reinterpret_cast<const QChar*>(data), static_cast<qsizetype>(size / 2));
}

/** A property of the code under test failed: stop as a crash, so the input is kept. */
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

} // namespace Fuzz
