#include "Platform/Linux/X11/X11DisplaySocket.h"

#include <X11/Xauth.h>
#include <xcb/xcb.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The address families of the Xauthority file (X11/X.h, whose other names clash with Qt's).
constexpr unsigned short familyInternet = 0;
constexpr unsigned short familyInternet6 = 6;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The Xauthority file libXau reads, only when it is a regular file: a FIFO or a device there
// would block the read for ever.
bool authorityFileIsRegular()
{
    const char* file = XauFileName();
    struct stat status {};
    return file && ::stat(file, &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

X11DisplaySocket::X11DisplaySocket(const QByteArray& displayName)
{
    char* host = nullptr;
    int display = -1;
    int screen = 0;
    if (!displayName.isEmpty() &&
        xcb_parse_display(displayName.constData(), &host, &display, &screen)) {
        m_host = host;
        m_display = display;
        m_screen = screen;
    }
    std::free(host);
}

X11DisplaySocket::~X11DisplaySocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void X11DisplaySocket::cut()
{
    std::lock_guard lock(m_mutex);
    m_cut = true;
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

int X11DisplaySocket::connectTo(int family, const void* address, unsigned length, int cancelFd)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int error = 0;
    if (::connect(fd, static_cast<const sockaddr*>(address), length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            // A remote host may take its time to answer, or never: wait until it does or the
            // owner stops.
            pollfd descriptors[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
            int ready = 0;
            while ((ready = ::poll(descriptors, 2, -1)) < 0 && errno == EINTR) {
            }
            socklen_t size = sizeof error;
            if (ready < 0 || descriptors[1].revents != 0)
                error = ECANCELED;
            else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int X11DisplaySocket::open(int cancelFd, QString* why)
{
    if (!valid()) {
        *why = QStringLiteral("the display name cannot be read");
        return -1;
    }
    int fd = -1;
    int error = ENOENT;
    const bool local = m_host.isEmpty() || m_host == "unix";
    if (local) {
        const QByteArray path = "/tmp/.X11-unix/X" + QByteArray::number(m_display);
        // The abstract socket first, as libxcb does: it needs no file of its own.
        for (const bool abstract : {true, false}) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const int offset = abstract ? 1 : 0;
            std::memcpy(address.sun_path + offset, path.constData(), path.size());
            const auto length = static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + offset +
                                                      path.size() + (abstract ? 0 : 1));
            fd = connectTo(AF_UNIX, &address, length, cancelFd);
            if (fd >= 0)
                break;
            error = errno;
        }
    }
    if (fd < 0 && m_host != "unix" && error != ECANCELED) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        const QByteArray port = QByteArray::number(6000 + m_display);
        const int status = ::getaddrinfo(local ? "localhost" : m_host.constData(), port.constData(),
                                         &hints, &found);
        if (status != 0 && !local) {
            *why = QStringLiteral("the host cannot be found (%1)")
                       .arg(QString::fromLocal8Bit(::gai_strerror(status)));
            return -1;
        }
        if (status == 0) {
            for (const addrinfo* a = found; a && fd < 0 && error != ECANCELED; a = a->ai_next) {
                fd = connectTo(a->ai_family, a->ai_addr, a->ai_addrlen, cancelFd);
                if (fd < 0)
                    error = errno;
            }
            ::freeaddrinfo(found);
        }
    }
    if (fd < 0) {
        *why = error == ECANCELED ? QStringLiteral("stopped") : systemError(error);
        return -1;
    }
    std::lock_guard lock(m_mutex);
    if (m_cut) {
        ::close(fd);
        *why = QStringLiteral("stopped");
        return -1;
    }
    m_fd = fd;
    return fd;
}

X11DisplaySocket::Cookie X11DisplaySocket::cookie() const
{
    if (m_fd < 0 || !authorityFileIsRegular())
        return {};
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};

    // The server's address as the Xauthority file names it: the host name for a local
    // connection (a loopback one included), the address otherwise.
    unsigned short family = FamilyLocal;
    QByteArray address;
    if (peer.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
            family = familyInternet;
            address = QByteArray(reinterpret_cast<const char*>(&in->sin_addr), 4);
        }
    } else if (peer.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            const auto* bytes = reinterpret_cast<const char*>(&in6->sin6_addr) + 12;
            if (static_cast<unsigned char>(bytes[0]) != 127) {
                family = familyInternet;
                address = QByteArray(bytes, 4);
            }
        } else if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
            family = familyInternet6;
            address = QByteArray(reinterpret_cast<const char*>(&in6->sin6_addr), 16);
        }
    }
    if (family == FamilyLocal) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0)
            return {};
        address = host;
    }

    const QByteArray number = QByteArray::number(m_display);
    char name[] = "MIT-MAGIC-COOKIE-1";
    char* names[] = {name};
    int lengths[] = {static_cast<int>(sizeof name - 1)};
    const std::unique_ptr<Xauth, decltype(&XauDisposeAuth)> entry(
        XauGetBestAuthByAddr(family, static_cast<unsigned short>(address.size()),
                             address.constData(), static_cast<unsigned short>(number.size()),
                             number.constData(), 1, names, lengths),
        &XauDisposeAuth);
    if (!entry)
        return {};
    return {QByteArray(entry->name, entry->name_length),
            QByteArray(entry->data, entry->data_length)};
}
