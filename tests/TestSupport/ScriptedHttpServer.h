#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

/**
 * A real HTTP/1.1 server on 127.0.0.1 for tests, answering from a script. It records every
 * request it receives and answers each with the next scripted Answer (then with the fallback
 * handler, by default a 500 saying "no scripted answer"). Plain TCP or TLS with a given
 * certificate and key. Runs on the thread's event loop: tests wait with processEventsUntil.
 *
 *     ScriptedHttpServer server;
 *     server.enqueue(ScriptedHttpServer::Answer::json(200, R"({"ok":true})"));
 *     ApiClient client(&transport, server.url("/api/v1"), "test", 2s);
 *     ... await(client.heartbeat(...)) ...
 *     EXPECT_EQ(server.requests().at(0).path(), "/api/v1/device/heartbeat");
 */
class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    using Header = std::pair<QByteArray, QByteArray>;

    /** One request as received. */
    struct Request {
        QByteArray method;
        QByteArray target; ///< path and query, as sent on the request line
        QList<Header> headers; ///< in order, names as sent
        QByteArray body;

        /** The value of the first header of that name (case-insensitive), if any. */
        [[nodiscard]] std::optional<QByteArray> header(const QByteArray& name) const;
        [[nodiscard]] bool hasHeader(const QByteArray& name) const { return header(name).has_value(); }
        /** The target without its query. */
        [[nodiscard]] QByteArray path() const;
        /** The query after "?", or empty. */
        [[nodiscard]] QByteArray query() const;
    };

    /** How to answer one request. */
    struct Answer {
        enum class Kind {
            respond,        ///< status line, headers, body
            closeAtOnce,    ///< close the connection without a byte
            neverAnswer,    ///< keep the connection open and say nothing
            raw,            ///< send these bytes as they are, then close
            reset,          ///< reset the connection (TCP RST) without a byte
            held,           ///< say nothing until releaseHeld() gives the answer
        };

        Kind kind = Kind::respond;
        int status = 200;
        QByteArray reason; ///< empty: a standard phrase
        QList<Header> headers;
        QByteArray body;
        /** Content-Length written; absent: the body's size. A larger value cuts the body short. */
        std::optional<qint64> declaredLength;
        /** Leave Content-Length out and end the body by closing the connection. */
        bool lengthByClose = false;
        bool keepAlive = true;
        /** Instead of body: this many filler bytes, written as the client reads them. */
        qint64 streamedBytes = 0;
        QByteArray rawBytes;
        /** Reset the connection (TCP RST) once this many bytes of the body are out; -1: never. */
        qint64 resetAfterBodyBytes = -1;
        /** Write the whole answer one byte at a time, one every this many milliseconds; 0: at once. */
        int dripIntervalMs = 0;

        /** A JSON body with "Content-Type: application/json". */
        static Answer json(int status, QByteArray body);
        /** Any status and body, without Content-Type. */
        static Answer plain(int status, QByteArray body = {});
        static Answer closeAtOnce();
        /** Reset the connection (TCP RST) as soon as the request is in. */
        static Answer reset();
        static Answer neverAnswer();
        /** Keep the request waiting; releaseHeld() answers it later. */
        static Answer hold();
        /** Bytes that are not an HTTP answer (or any bytes), then close. */
        static Answer raw(QByteArray bytes);
        /** A status whose body is `bytes` filler bytes written as the client drains them. */
        static Answer streamed(int status, qint64 bytes, bool declareLength = true);

        Answer& header(QByteArray name, QByteArray value);
        /** Declare `length` in Content-Length but send only the body, then close. */
        Answer& cutShort(qint64 length);
        /** Answer with "Connection: close" and close after it. */
        Answer& closing();
        /** Send the head and `bytes` bytes of the body, then reset the connection. */
        Answer& resetAfter(qint64 bytes);
        /** Send the answer one byte at a time, one every `intervalMs`. */
        Answer& dripped(int intervalMs);
    };

    using Handler = std::function<Answer(const Request&)>;

    explicit ScriptedHttpServer(QObject* parent = nullptr);
    ~ScriptedHttpServer() override;

    /** Listens on 127.0.0.1 (any free port unless given). Returns whether it listens. */
    bool listen(quint16 port = 0);
    /** The same with TLS: every connection starts server-side encryption with these. */
    bool listenTls(const QSslCertificate& certificate, const QSslKey& key,
                   const QList<QSslCertificate>& chain = {}, quint16 port = 0);

    [[nodiscard]] quint16 port() const;
    /** "http(s)://<host>:<port><path>"; host 127.0.0.1 unless given. */
    [[nodiscard]] QUrl url(const QString& path = QStringLiteral("/"),
                           const QString& host = QStringLiteral("127.0.0.1")) const;

    /** Answers are used in order, one per request. */
    void enqueue(Answer answer);
    /** Answers every request beyond the script. */
    void setFallback(Handler handler);

    [[nodiscard]] const QList<Request>& requests() const;
    /** Connections accepted (TLS ones also when the handshake then fails). */
    [[nodiscard]] int connectionCount() const;
    /** Runs the event loop until that many requests have come in or the time is up. */
    bool waitForRequests(int count, int timeoutMs = 5000);

    /** Answers the oldest held request still connected; false when there is none. */
    bool releaseHeld(const Answer& answer);

    /** Drops every open connection (also those told never to answer). */
    void closeAllConnections();

Q_SIGNALS:
    /** A connection that was told never to answer has been closed by the client. */
    void unansweredConnectionClosed();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
