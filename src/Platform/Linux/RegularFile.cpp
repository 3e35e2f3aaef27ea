#include "Platform/Linux/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

RegularFile::RegularFile(const QString& path)
{
    const QByteArray name = path.toLocal8Bit();
    if (name.isEmpty() || name.contains('\0'))
        return;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_size = status.st_size;
}

RegularFile::~RegularFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

qint64 RegularFile::readSome(char* buffer, qint64 maximumSize)
{
    if (m_fd < 0)
        return -1;
    for (;;) {
        const auto n = ::read(m_fd, buffer, static_cast<size_t>(maximumSize));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

std::optional<QByteArray> RegularFile::read(const QString& path, qint64 maximumSize)
{
    RegularFile file(path);
    if (!file.isOpen() || file.size() > maximumSize)
        return std::nullopt;
    // /proc files report size 0: read to the end, but never past the cap.
    QByteArray contents;
    contents.resize(std::min<qint64>(std::max<qint64>(file.size(), 4096), maximumSize + 1));
    qint64 used = 0;
    for (;;) {
        if (used == contents.size()) {
            if (used > maximumSize)
                return std::nullopt;
            contents.resize(std::min<qint64>(used * 2, maximumSize + 1));
        }
        const qint64 n = file.readSome(contents.data() + used, contents.size() - used);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        used += n;
    }
    if (used > maximumSize)
        return std::nullopt;
    contents.truncate(used);
    return contents;
}
