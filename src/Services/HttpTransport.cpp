#include "Services/HttpTransport.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <coroutine>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace {

bool hasLineBreakOrNul(const QByteArray& text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

void initialiseCurlOnce()
{
    // curl_global_init is not thread-safe in every libcurl; once per process is enough.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isGetWithoutBody(const HttpTransport::Request& request)
{
    return request.method == "GET" && !request.body;
}

/**
 * Segments carrying data that a TCP socket has received so far, read or not. Counted below
 * libcurl, it also sees an answer's first bytes that libcurl holds as an unfinished status
 * line; a bare FIN or RST carries no data and does not count.
 */
std::optional<std::uint32_t> dataSegmentsIn(int fd)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_data_segs_in) + sizeof info.tcpi_data_segs_in)
        return std::nullopt;
    return info.tcpi_data_segs_in;
}

int parseStatusLine(const char* data, size_t n)
{
    // "HTTP/1.1 101 ..." or "HTTP/2 101": the three digits after the first blank.
    if (n < 12 || std::strncmp(data, "HTTP/", 5) != 0)
        return 0;
    const char* blank = static_cast<const char*>(std::memchr(data, ' ', n));
    if (!blank || blank + 4 > data + n)
        return 0;
    int code = 0;
    for (int i = 1; i <= 3; ++i) {
        if (blank[i] < '0' || blank[i] > '9')
            return 0;
        code = code * 10 + (blank[i] - '0');
    }
    return code;
}

} // namespace

struct HttpTransport::Socket {
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;

    ~Socket()
    {
        // Curl may drop a socket from inside a notifier's own signal: delete later.
        for (auto* n : {read.release(), write.release()}) {
            if (n) {
                n->setEnabled(false);
                n->deleteLater();
            }
        }
    }
};

struct HttpTransport::Transfer {
    QPointer<HttpTransport> owner;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    QByteArray body;
    qint64 maxBodyBytes = 0;
    int allowedSends = 1;
    int sends = 0;
    bool resendRefused = false;
    /** The socket the request last went out on, and what it had received by then. */
    int fd = -1;
    std::uint32_t segmentsAtSend = 0;
    /** Some byte came back after the request went out: it is never sent again. */
    bool answerStarted = false;
    int headStatus = 0;
    /** A 101 nobody asked for: taken as the final answer, with no body. */
    bool unaskedSwitch = false;
    bool tooLarge = false;
    bool timedOut = false;
    curl_off_t lastUp = 0;
    curl_off_t lastDown = 0;
    QTimer idle;
    char errorText[CURL_ERROR_SIZE] = {};
    Response response;
    bool done = false;
    std::coroutine_handle<> waiter;

    ~Transfer()
    {
        if (owner && easy && !done)
            owner->cancel(this);
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }

    void progressed() { idle.start(); }

    bool declaresTooMuch() const
    {
        curl_off_t declared = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        return declared > maxBodyBytes;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self)
    {
        auto* t = static_cast<Transfer*>(self);
        t->progressed();
        const size_t n = size * count;
        if (const int status = parseStatusLine(data, n))
            t->headStatus = status;
        const bool endOfHead =
            (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
        if (!endOfHead)
            return n;
        // No upgrade was asked for, so there is nothing to switch to: the 101 is the answer.
        if (t->headStatus == 101) {
            t->unaskedSwitch = true;
            return 0;
        }
        // A declared length beyond the limit ends the transfer before any of the body.
        if (t->headStatus >= 200 && t->declaresTooMuch()) {
            t->tooLarge = true;
            return 0;
        }
        return n;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self)
    {
        auto* t = static_cast<Transfer*>(self);
        t->progressed();
        const size_t n = size * count;
        if (t->declaresTooMuch() ||
            t->response.body.size() + static_cast<qint64>(n) > t->maxBodyBytes) {
            // Stop reading at once; an answer that large is never held whole.
            t->tooLarge = true;
            t->response.body.clear();
            return CURL_WRITEFUNC_ERROR;
        }
        t->response.body.append(data, static_cast<qsizetype>(n));
        return n;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up)
    {
        auto* t = static_cast<Transfer*>(self);
        if (up != t->lastUp || down != t->lastDown) {
            t->lastUp = up;
            t->lastDown = down;
            t->progressed();
        }
        return 0;
    }

    /**
     * Called each time the request is about to go out on a connection. libcurl resends on a
     * fresh connection when a reused one ends before a complete header line; the count and
     * the bytes seen on the old socket narrow that to the one resend allowed.
     */
    static int onBeforeSend(void* self, char*, char*, int remotePort, int localPort)
    {
        auto* t = static_cast<Transfer*>(self);
        if (t->sends > 0 && t->fd >= 0)
            t->noteClosing(t->fd);
        if (++t->sends > t->allowedSends || (t->sends > 1 && t->answerStarted)) {
            t->resendRefused = true;
            return CURL_PREREQFUNC_ABORT;
        }
        t->fd = t->owner ? t->owner->socketFor(remotePort, localPort) : -1;
        const auto segments = t->fd >= 0 ? dataSegmentsIn(t->fd) : std::nullopt;
        if (!segments)
            t->answerStarted = true; // unknown: never resend
        t->segmentsAtSend = segments.value_or(0);
        return CURL_PREREQFUNC_OK;
    }

    /** The socket the request went out on is about to close: did anything come back? */
    void noteClosing(int closing)
    {
        if (closing != fd)
            return;
        const auto segments = dataSegmentsIn(fd);
        if (!segments || *segments > segmentsAtSend)
            answerStarted = true;
        fd = -1;
    }
};

namespace {

struct TransferAwaiter {
    HttpTransport::Transfer* transfer;

    bool await_ready() const noexcept { return transfer->done; }
    void await_suspend(std::coroutine_handle<> handle) noexcept { transfer->waiter = handle; }
    HttpTransport::Response await_resume() { return std::move(transfer->response); }
};

} // namespace

struct HttpTransport::SocketHooks {
    /** Every socket of a connection is made here, so that the transport knows them all. */
    static curl_socket_t open(void* self, curlsocktype purpose, curl_sockaddr* address)
    {
        auto* transport = static_cast<HttpTransport*>(self);
        if (purpose != CURLSOCKTYPE_IPCXN)
            return CURL_SOCKET_BAD;
        // Not inherited by programs this one starts.
        const int fd =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (fd < 0)
            return CURL_SOCKET_BAD;
        transport->m_openSockets.insert(fd);
        return fd;
    }
};

HttpTransport::HttpTransport(QObject* parent) : HttpTransport(Options{}, parent) {}

HttpTransport::HttpTransport(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { socketAction(CURL_SOCKET_TIMEOUT, 0); });
}

bool HttpTransport::start()
{
    // At the first request, not before: libcurl's start-up initialises its TLS and SSH
    // libraries (megabytes of resident pages), which a program that never sends (a helper
    // waiting to be paired) does not need.
    if (m_multi)
        return true;
    if (m_shutDown)
        return false;
    initialiseCurlOnce();
    m_multi = curl_multi_init();
    if (!m_multi)
        return false;
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &HttpTransport::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &HttpTransport::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    return true;
}

HttpTransport::~HttpTransport()
{
    m_shutDown = true;
    std::vector<std::coroutine_handle<>> waiters;
    while (!m_transfers.empty()) {
        Transfer* t = m_transfers.begin()->second;
        finish(t, CURLE_ABORTED_BY_CALLBACK);
        t->response.error = QStringLiteral("HTTP transport shut down");
        if (t->waiter)
            waiters.push_back(std::exchange(t->waiter, {}));
    }
    if (m_multi)
        curl_multi_cleanup(m_multi);
    m_multi = nullptr;
    m_sockets.clear();
    for (auto handle : waiters)
        handle.resume();
}

HttpTransport& HttpTransport::shared()
{
    static HttpTransport* const instance = new HttpTransport();
    return *instance;
}

QCoro::Task<HttpTransport::Response> HttpTransport::send(Request request)
{
    const QString scheme = request.url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        Response notHttp;
        notHttp.kind = Response::Kind::notHttp;
        co_return notHttp;
    }
    if (!start()) {
        Response failed;
        failed.error = m_shutDown ? QStringLiteral("HTTP transport shut down")
                                  : QStringLiteral("HTTP transport could not start libcurl");
        co_return failed;
    }

    // libcurl writes header lines as given: a line break (or a NUL, which ends the C string)
    // in a value would let the rest pass for headers or a body of its own.
    for (const auto& [name, value] : request.headers)
        if (hasLineBreakOrNul(name) || hasLineBreakOrNul(value)) {
            Response refused;
            refused.error = QStringLiteral("a header holds a line break or NUL; not sent");
            co_return refused;
        }

    auto transfer = std::make_unique<Transfer>();
    Transfer* t = transfer.get();
    t->owner = this;
    t->easy = curl_easy_init();
    t->maxBodyBytes = request.maxBodyBytes;
    // The one resend allowed: a GET whose reused connection closed before any answer.
    t->allowedSends = isGetWithoutBody(request) ? 2 : 1;
    t->idle.setSingleShot(true);
    // A coarse timer may fire 5% early: 57 s for a 60 s timeout.
    t->idle.setTimerType(Qt::PreciseTimer);
    // QTimer counts in int milliseconds.
    t->idle.setInterval(std::min(request.timeout, std::chrono::milliseconds(INT_MAX)));
    QObject::connect(&t->idle, &QTimer::timeout, this, [this, t] {
        t->timedOut = true;
        finish(t, CURLE_OPERATION_TIMEDOUT);
        if (t->waiter)
            std::exchange(t->waiter, {}).resume();
    });

    CURL* easy = t->easy;
    const QByteArray url = request.url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_PROXY_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (m_options.caFile) {
        const QByteArray caFile = QFile::encodeName(*m_options.caFile);
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());
    }
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->errorText);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, t);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, t);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onBeforeSend);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, t);
    // The transport, not the transfer: a connection outlives the transfer that opened it.
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &HttpTransport::onCloseSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &SocketHooks::open);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);

    bool hasContentType = false;
    for (const auto& [name, value] : request.headers) {
        hasContentType = hasContentType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
        t->headers = curl_slist_append(t->headers, (name + ": " + value).constData());
    }
    // No "Expect: 100-continue" before a body, and no form type curl would pick by itself.
    t->headers = curl_slist_append(t->headers, "Expect:");
    if (!hasContentType)
        t->headers = curl_slist_append(t->headers, "Content-Type:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers);

    if (request.body) {
        t->body = std::move(*request.body);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(t->body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, t->body.constData());
        if (request.method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        if (request.method != "GET")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    }

    m_transfers.emplace(easy, t);
    if (const CURLMcode added = curl_multi_add_handle(static_cast<CURLM*>(m_multi), easy);
        added != CURLM_OK) {
        m_transfers.erase(easy);
        Response failed;
        failed.error = QString::fromUtf8(curl_multi_strerror(added));
        t->done = true;
        co_return failed;
    }
    t->idle.start();
    co_return co_await TransferAwaiter{t};
}

namespace {

int portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

} // namespace

int HttpTransport::socketFor(int remotePort, int localPort) const
{
    // libcurl names the connection a request goes out on by its ports only.
    for (const int fd : m_openSockets) {
        sockaddr_storage local{};
        sockaddr_storage remote{};
        socklen_t localLength = sizeof local;
        socklen_t remoteLength = sizeof remote;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLength) == 0 &&
            portOf(local) == localPort && portOf(remote) == remotePort)
            return fd;
    }
    return -1;
}

int HttpTransport::onCloseSocket(void* self, int fd)
{
    auto* transport = static_cast<HttpTransport*>(self);
    transport->m_openSockets.erase(fd);
    for (const auto& [easy, t] : transport->m_transfers)
        t->noteClosing(fd);
    return ::close(fd);
}

int HttpTransport::onSocket(void*, int fd, int what, void* self, void*)
{
    auto* transport = static_cast<HttpTransport*>(self);
    if (what == CURL_POLL_REMOVE) {
        transport->m_sockets.erase(fd);
        return 0;
    }
    auto& socket = transport->m_sockets[fd];
    if (!socket)
        socket = std::make_unique<Socket>();
    const auto ensure = [transport, fd](std::unique_ptr<QSocketNotifier>& n,
                                        QSocketNotifier::Type type, bool wanted) {
        if (!wanted) {
            if (n)
                n->setEnabled(false);
            return;
        }
        if (!n) {
            n = std::make_unique<QSocketNotifier>(fd, type);
            const int event = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            QObject::connect(n.get(), &QSocketNotifier::activated, transport,
                             [transport, fd, event] { transport->socketAction(fd, event); });
        }
        n->setEnabled(true);
    };
    ensure(socket->read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    ensure(socket->write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

int HttpTransport::onTimer(void*, long timeoutMs, void* self)
{
    auto* transport = static_cast<HttpTransport*>(self);
    if (timeoutMs < 0)
        transport->m_timer->stop();
    else
        transport->m_timer->start(static_cast<int>(std::min<long>(timeoutMs, INT_MAX)));
    return 0;
}

void HttpTransport::socketAction(int fd, int events)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(static_cast<CURLM*>(m_multi), fd, events, &running);
    finishDone();
}

void HttpTransport::finishDone()
{
    std::vector<std::coroutine_handle<>> waiters;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(static_cast<CURLM*>(m_multi), &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL* easy = message->easy_handle;
        const CURLcode result = message->data.result;
        const auto it = m_transfers.find(easy);
        if (it == m_transfers.end())
            continue;
        Transfer* t = it->second;
        finish(t, result);
        if (t->waiter)
            waiters.push_back(std::exchange(t->waiter, {}));
    }
    // Resumed last: a resumed caller may start requests, or even destroy this transport.
    for (auto handle : waiters)
        handle.resume();
}

void HttpTransport::finish(Transfer* t, int code)
{
    const auto result = static_cast<CURLcode>(code);
    t->idle.stop();
    long status = 0;
    long connectStatus = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(t->easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    curl_multi_remove_handle(static_cast<CURLM*>(m_multi), t->easy);
    m_transfers.erase(t->easy);
    t->done = true;

    Response& r = t->response;
    if (t->unaskedSwitch) {
        r.kind = Response::Kind::answered;
        r.status = 101;
        r.body.clear();
        return;
    }
    if (result == CURLE_OK || (t->tooLarge && status > 0)) {
        r.kind = Response::Kind::answered;
        r.status = static_cast<int>(status);
        r.bodyTooLarge = t->tooLarge;
        if (t->tooLarge)
            r.body.clear();
        return;
    }
    r.body.clear();
    if (connectStatus != 0 && (connectStatus < 200 || connectStatus > 299)) {
        // The proxy answered the tunnel request itself (a 407 among others).
        r.kind = Response::Kind::answered;
        r.status = static_cast<int>(connectStatus);
        return;
    }
    r.kind = Response::Kind::failed;
    if (t->timedOut)
        r.error =
            QStringLiteral("Operation timed out: no progress for %1 ms").arg(t->idle.interval());
    else if (t->resendRefused)
        r.error = QStringLiteral("Connection closed before a complete answer; the request is "
                                 "not sent again");
    else if (t->errorText[0] != '\0')
        r.error = QString::fromUtf8(t->errorText);
    else
        r.error = QString::fromUtf8(curl_easy_strerror(result));
}

void HttpTransport::cancel(Transfer* t)
{
    t->idle.stop();
    if (m_multi)
        curl_multi_remove_handle(static_cast<CURLM*>(m_multi), t->easy);
    m_transfers.erase(t->easy);
    t->done = true;
}
