#pragma once

#include <QByteArray>
#include <QString>

#include <mutex>

/**
 * An X display's socket, opened the way libxcb opens it ("[host]:display[.screen]": the
 * abstract and then the file socket of /tmp/.X11-unix for a local display, TCP on port 6000 +
 * display otherwise) but without blocking the caller beyond a cancel descriptor, and its
 * MIT-MAGIC-COOKIE-1 from the user's Xauthority file. Used on the backend's own thread, so that
 * a server that accepts and never answers holds up only that thread, and the owner can cut the
 * socket (shutdown) to end any wait on it.
 */
class X11DisplaySocket {
public:
    /** A display name as in $DISPLAY; invalid() when it cannot be read. */
    explicit X11DisplaySocket(const QByteArray& displayName);
    ~X11DisplaySocket();
    X11DisplaySocket(const X11DisplaySocket&) = delete;
    X11DisplaySocket& operator=(const X11DisplaySocket&) = delete;

    [[nodiscard]] bool valid() const { return m_display >= 0; }
    [[nodiscard]] int screen() const { return m_screen; }

    /**
     * Connects; returns the descriptor (owned by this object) or -1 with why. Gives up as soon
     * as cancelFd is readable.
     */
    int open(int cancelFd, QString* why);

    /** Ends every read and write on the socket, from any thread; it stays open until destroyed. */
    void cut();

    /** The cookie's name and data for the connected socket; both empty when there is none. */
    struct Cookie {
        QByteArray name;
        QByteArray data;
    };
    [[nodiscard]] Cookie cookie() const;

private:
    int connectTo(int family, const void* address, unsigned length, int cancelFd);

    QByteArray m_host;
    int m_display = -1;
    int m_screen = 0;
    std::mutex m_mutex; // m_fd and m_cut, between the connecting thread and cut()
    int m_fd = -1;
    bool m_cut = false;
};
