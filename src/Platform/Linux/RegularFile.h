#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

/**
 * Reads files the system or another user's program put in our way (desktop entries, AppStream
 * data, /proc) without ever blocking: opened with O_NONBLOCK | O_CLOEXEC | O_NOCTTY, and read
 * only when fstat shows a regular file. A FIFO, a device, a folder or a file larger than the
 * caller's cap reads as absent.
 */
class RegularFile {
public:
    /** The whole file, or none when it is missing, not a regular file or over maximumSize bytes. */
    [[nodiscard]] static std::optional<QByteArray> read(const QString& path, qint64 maximumSize);

    /** Opens path for reading as above; isOpen() tells whether it is a regular file. */
    explicit RegularFile(const QString& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    /** The size fstat reported (0 for most /proc files, which are read to their end instead). */
    [[nodiscard]] qint64 size() const { return m_size; }
    /** Up to maximumSize bytes at the current position; fewer at the end; -1 on an error. */
    qint64 readSome(char* buffer, qint64 maximumSize);

private:
    int m_fd = -1;
    qint64 m_size = 0;
};
