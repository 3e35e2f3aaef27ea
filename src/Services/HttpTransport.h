#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

class QTimer;

/**
 * HTTP/1.1 over libcurl's multi interface, driven by this thread's Qt event loop: a socket
 * notifier per socket and one timer for libcurl's timeout, no thread of its own (libcurl
 * resolves host names on a short-lived thread). libcurl starts at the first request. Idle
 * connections are kept for reuse. Never follows redirects, keeps no cookies, sends only the
 * headers given (plus Host and Content-Length) and none that holds a line break or NUL (the
 * request fails unsent). A request goes out once; the only resend is a GET without a body
 * whose reused keep-alive connection closed before any byte of an answer, and that at most
 * once. HTTPS checks the peer's chain and host name and takes TLS 1.2 or later. Proxies come
 * from the environment (http_proxy, https_proxy, no_proxy); a proxy's own answer, a refused
 * tunnel included, is an answer with its status. Lives on one thread.
 */
class HttpTransport : public QObject {
    Q_OBJECT
public:
    struct Options {
        /** PEM file of the certificate authorities to trust instead of the system's. */
        std::optional<QString> caFile;
    };

    using Header = std::pair<QByteArray, QByteArray>;

    struct Request {
        QByteArray method;
        QUrl url;
        QList<Header> headers;
        /** Absent: no request body and no Content-Length. */
        std::optional<QByteArray> body;
        /** Longest time without any progress (connecting, sending or receiving). */
        std::chrono::milliseconds timeout{60'000};
        /** An answer body beyond this many bytes (declared or read) is not kept. */
        qint64 maxBodyBytes = 16 * 1024 * 1024;
    };

    struct Response {
        enum class Kind {
            answered, ///< an HTTP status came back (maybe with bodyTooLarge)
            failed,   ///< transport failure: error says what
            notHttp,  ///< the URL is not http or https: nothing was sent
        };
        Kind kind = Kind::failed;
        int status = 0;
        QByteArray body;
        bool bodyTooLarge = false;
        QString error;
    };

    explicit HttpTransport(QObject* parent = nullptr);
    explicit HttpTransport(Options options, QObject* parent = nullptr);
    /** Requests still under way end as failed ("transport shut down"). */
    ~HttpTransport() override;

    HttpTransport(const HttpTransport&) = delete;
    HttpTransport& operator=(const HttpTransport&) = delete;

    /**
     * Sends and waits. Never throws; dropping the task cancels the request. Virtual so that
     * the client's answer path can be driven without a socket (fuzzing).
     */
    virtual QCoro::Task<Response> send(Request request);

    /** The process-wide transport of the programs (main thread, never destroyed). */
    static HttpTransport& shared();

    struct Transfer;

private:
    struct Socket;
    struct SocketHooks;

    static int onSocket(void* easy, int fd, int what, void* self, void* socketData);
    static int onTimer(void* multi, long timeoutMs, void* self);
    static int onCloseSocket(void* self, int fd);
    int socketFor(int remotePort, int localPort) const;

    /** Starts libcurl on first use; false once shut down or when libcurl cannot start. */
    bool start();
    void socketAction(int fd, int events);
    void finishDone();
    void finish(Transfer* transfer, int code);
    void cancel(Transfer* transfer);

    Options m_options;
    void* m_multi = nullptr;
    bool m_shutDown = false;
    QTimer* m_timer = nullptr;
    std::unordered_map<int, std::unique_ptr<Socket>> m_sockets;
    std::unordered_map<void*, Transfer*> m_transfers;
    std::unordered_set<int> m_openSockets;
};
