#include "TestSupport/ScriptedHttpServer.h"

#include "TestSupport/Await.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <deque>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 418: return "I'm a teapot";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool sameName(const QByteArray& a, const QByteArray& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

constexpr qint64 kStreamChunk = 64 * 1024;

/** Closes with a TCP RST rather than a FIN: a linger time of zero discards what is unsent. */
void resetConnection(QTcpSocket* socket)
{
    const linger now{1, 0};
    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                 sizeof now);
    socket->abort();
}

} // namespace

// --- Request ---

std::optional<QByteArray> ScriptedHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& [n, v] : headers)
        if (sameName(n, name))
            return v;
    return std::nullopt;
}

QByteArray ScriptedHttpServer::Request::path() const
{
    const auto q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

QByteArray ScriptedHttpServer::Request::query() const
{
    const auto q = target.indexOf('?');
    return q < 0 ? QByteArray() : target.mid(q + 1);
}

// --- Answer ---

using Answer = ScriptedHttpServer::Answer;

Answer Answer::json(int status, QByteArray body)
{
    Answer a;
    a.status = status;
    a.body = std::move(body);
    a.headers.append(Header{"Content-Type", "application/json"});
    return a;
}

Answer Answer::plain(int status, QByteArray body)
{
    Answer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

Answer Answer::closeAtOnce()
{
    Answer a;
    a.kind = Kind::closeAtOnce;
    return a;
}

Answer Answer::reset()
{
    Answer a;
    a.kind = Kind::reset;
    return a;
}

Answer Answer::hold()
{
    Answer a;
    a.kind = Kind::held;
    return a;
}

Answer Answer::neverAnswer()
{
    Answer a;
    a.kind = Kind::neverAnswer;
    return a;
}

Answer Answer::raw(QByteArray bytes)
{
    Answer a;
    a.kind = Kind::raw;
    a.rawBytes = std::move(bytes);
    return a;
}

Answer Answer::streamed(int status, qint64 bytes, bool declareLength)
{
    Answer a;
    a.status = status;
    a.streamedBytes = bytes;
    a.lengthByClose = !declareLength;
    if (!declareLength)
        a.keepAlive = false;
    return a;
}

Answer& Answer::header(QByteArray name, QByteArray value)
{
    headers.append(Header{std::move(name), std::move(value)});
    return *this;
}

Answer& Answer::cutShort(qint64 length)
{
    declaredLength = length;
    keepAlive = false;
    return *this;
}

Answer& Answer::closing()
{
    keepAlive = false;
    return *this;
}

Answer& Answer::resetAfter(qint64 bytes)
{
    resetAfterBodyBytes = bytes;
    return *this;
}

Answer& Answer::dripped(int intervalMs)
{
    dripIntervalMs = intervalMs;
    return *this;
}

// --- the server ---

namespace {

class Listener : public QTcpServer {
public:
    std::function<void(qintptr)> onConnection;

protected:
    void incomingConnection(qintptr descriptor) override { onConnection(descriptor); }
};

} // namespace

struct ScriptedHttpServer::Private {
    struct Connection {
        QPointer<QTcpSocket> socket;
        QByteArray buffer;
        bool silenced = false; // told never to answer: ignore whatever else comes
        bool owesAnswer = false; // told never to answer, and so still owes one
        qint64 streamLeft = 0; // filler bytes still to write
        bool closeAfterStream = false;
    };

    ScriptedHttpServer* q = nullptr;
    Listener listener;
    bool tls = false;
    QSslCertificate certificate;
    QSslKey key;
    QList<QSslCertificate> chain;
    std::deque<Answer> script;
    Handler fallback = [](const Request&) {
        return Answer::json(500, R"({"title":"no scripted answer"})");
    };
    QList<Request> requests;
    int connections = 0;
    std::vector<std::shared_ptr<Connection>> open;
    std::deque<std::weak_ptr<Connection>> held;

    void accept(qintptr descriptor)
    {
        ++connections;
        QTcpSocket* socket = nullptr;
        if (tls) {
            auto* ssl = new QSslSocket(q);
            if (!ssl->setSocketDescriptor(descriptor)) {
                delete ssl;
                return;
            }
            ssl->setLocalCertificate(certificate);
            ssl->setPrivateKey(key);
            if (!chain.isEmpty()) {
                QSslConfiguration conf = ssl->sslConfiguration();
                QList<QSslCertificate> full{certificate};
                full += chain;
                conf.setLocalCertificateChain(full);
                ssl->setSslConfiguration(conf);
            }
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            socket = ssl;
        } else {
            socket = new QTcpSocket(q);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
        }
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        open.push_back(connection);
        std::weak_ptr<Connection> weak = connection;
        QObject::connect(socket, &QTcpSocket::readyRead, q, [this, weak] {
            if (auto c = weak.lock())
                readFrom(*c);
        });
        QObject::connect(socket, &QTcpSocket::bytesWritten, q, [this, weak] {
            if (auto c = weak.lock())
                continueStream(*c);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, q, [this, weak, socket] {
            socket->deleteLater();
            if (auto c = weak.lock()) {
                if (c->owesAnswer)
                    Q_EMIT q->unansweredConnectionClosed();
                std::erase(open, c);
            }
        });
        if (tls)
            static_cast<QSslSocket*>(socket)->startServerEncryption();
    }

    void readFrom(Connection& c)
    {
        if (!c.socket)
            return;
        c.buffer += c.socket->readAll();
        while (!c.silenced && c.socket && c.streamLeft == 0) {
            const auto headerEnd = c.buffer.indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            const QList<QByteArray> lines = c.buffer.left(headerEnd).split('\n');
            Request request;
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            request.method = requestLine.value(0);
            request.target = requestLine.value(1);
            qint64 length = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const auto colon = line.indexOf(':');
                if (colon <= 0)
                    continue;
                Header h{line.left(colon).trimmed(), line.mid(colon + 1).trimmed()};
                if (sameName(h.first, "Content-Length"))
                    length = h.second.toLongLong();
                request.headers.append(std::move(h));
            }
            if (c.buffer.size() < headerEnd + 4 + length)
                return; // the body is still on its way
            request.body = c.buffer.mid(headerEnd + 4, length);
            c.buffer.remove(0, headerEnd + 4 + length);

            requests.append(request);
            Answer answer = script.empty() ? fallback(request) : std::move(script.front());
            if (!script.empty())
                script.pop_front();
            respond(c, answer);
        }
    }

    void respond(Connection& c, const Answer& a)
    {
        QTcpSocket* socket = c.socket;
        switch (a.kind) {
        case Answer::Kind::closeAtOnce:
            c.silenced = true;
            socket->abort();
            return;
        case Answer::Kind::held:
            c.silenced = true;
            for (const auto& o : open)
                if (o.get() == &c)
                    held.push_back(o);
            return;
        case Answer::Kind::neverAnswer:
            c.silenced = true;
            c.owesAnswer = true;
            return;
        case Answer::Kind::reset:
            c.silenced = true;
            resetConnection(socket);
            return;
        case Answer::Kind::raw:
            socket->write(a.rawBytes);
            socket->disconnectFromHost();
            c.silenced = true;
            return;
        case Answer::Kind::respond:
            break;
        }
        const qint64 bodySize = a.streamedBytes > 0 ? a.streamedBytes : a.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(a.status) + ' ' +
                          (a.reason.isEmpty() ? reasonPhrase(a.status) : a.reason) + "\r\n";
        for (const auto& [name, value] : a.headers)
            head += name + ": " + value + "\r\n";
        const bool noBodyStatus = a.status == 204 || a.status == 304 || (a.status >= 100 && a.status < 200);
        if (!a.lengthByClose && !noBodyStatus)
            head += "Content-Length: " + QByteArray::number(a.declaredLength.value_or(bodySize)) + "\r\n";
        head += a.keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        head += "\r\n";
        if (a.resetAfterBodyBytes >= 0) {
            socket->write(head + a.body.left(a.resetAfterBodyBytes));
            socket->flush();
            c.silenced = true;
            // Let the bytes leave before the reset discards what is unsent.
            QTimer::singleShot(100, socket, [socket] { resetConnection(socket); });
            return;
        }
        if (a.dripIntervalMs > 0) {
            c.silenced = !a.keepAlive;
            auto* timer = new QTimer(socket); // ends with the socket
            QObject::connect(timer, &QTimer::timeout, socket,
                             [socket, timer, left = head + a.body, close = !a.keepAlive]() mutable {
                                 if (left.isEmpty()) {
                                     timer->stop();
                                     if (close)
                                         socket->disconnectFromHost();
                                     return;
                                 }
                                 socket->write(left.left(1));
                                 left.remove(0, 1);
                             });
            timer->start(a.dripIntervalMs);
            return;
        }
        socket->write(head);
        if (a.streamedBytes > 0) {
            c.streamLeft = a.streamedBytes;
            c.closeAfterStream = !a.keepAlive;
            continueStream(c);
            return;
        }
        socket->write(a.body);
        if (!a.keepAlive) {
            c.silenced = true;
            socket->disconnectFromHost();
        }
    }

    void continueStream(Connection& c)
    {
        if (c.streamLeft <= 0 || !c.socket)
            return;
        // Keep only a little in flight, so that the bytes go out as the client takes them.
        if (c.socket->bytesToWrite() > kStreamChunk)
            return;
        const qint64 n = std::min(c.streamLeft, kStreamChunk);
        c.socket->write(QByteArray(n, 'x'));
        c.streamLeft -= n;
        if (c.streamLeft == 0 && c.closeAfterStream) {
            c.silenced = true;
            c.socket->disconnectFromHost();
        }
    }
};

ScriptedHttpServer::ScriptedHttpServer(QObject* parent) : QObject(parent), d(new Private)
{
    d->q = this;
    d->listener.onConnection = [this](qintptr descriptor) { d->accept(descriptor); };
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    closeAllConnections();
    d->listener.close();
    // The sockets' handlers reach into d: end them before d goes.
    const auto sockets = findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket* socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
}

bool ScriptedHttpServer::listen(quint16 port)
{
    d->tls = false;
    return d->listener.listen(QHostAddress::LocalHost, port);
}

bool ScriptedHttpServer::listenTls(const QSslCertificate& certificate, const QSslKey& key,
                                   const QList<QSslCertificate>& chain, quint16 port)
{
    d->tls = true;
    d->certificate = certificate;
    d->key = key;
    d->chain = chain;
    return d->listener.listen(QHostAddress::LocalHost, port);
}

quint16 ScriptedHttpServer::port() const
{
    return d->listener.serverPort();
}

QUrl ScriptedHttpServer::url(const QString& path, const QString& host) const
{
    QUrl url;
    url.setScheme(d->tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port());
    url.setPath(path);
    return url;
}

void ScriptedHttpServer::enqueue(Answer answer)
{
    d->script.push_back(std::move(answer));
}

void ScriptedHttpServer::setFallback(Handler handler)
{
    d->fallback = std::move(handler);
}

const QList<ScriptedHttpServer::Request>& ScriptedHttpServer::requests() const
{
    return d->requests;
}

int ScriptedHttpServer::connectionCount() const
{
    return d->connections;
}

bool ScriptedHttpServer::waitForRequests(int count, int timeoutMs)
{
    return processEventsUntil([&] { return d->requests.size() >= count; }, timeoutMs);
}

bool ScriptedHttpServer::releaseHeld(const Answer& answer)
{
    while (!d->held.empty()) {
        const auto c = d->held.front().lock();
        d->held.pop_front();
        if (!c || !c->socket)
            continue;
        c->silenced = false;
        d->respond(*c, answer);
        return true;
    }
    return false;
}

void ScriptedHttpServer::closeAllConnections()
{
    const auto open = d->open;
    for (const auto& c : open) {
        c->owesAnswer = false; // closed here, not by the client
        if (c->socket)
            c->socket->abort();
    }
    d->open.clear();
}
