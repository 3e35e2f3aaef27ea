// HTTPS against the scripted server, with a CA that the test makes with the openssl command
// line and gives the transport as the authority it trusts.
#include "TestSupport/ApiClientFixture.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const char* kPolicyAnswer = R"({"childId":"11111111-2222-3333-4444-555555555555"})";

/**
 * A CA and two server certificates it issued: one for 127.0.0.1, one for another host; and a
 * self-signed one for 127.0.0.1 that no authority vouches for.
 */
class TestPki {
public:
    bool make()
    {
        if (!m_dir.isValid())
            return false;
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"), "-days", "2",
                    "-subj", "/CN=Orvane Test CA", "-addext",
                    "basicConstraints=critical,CA:TRUE", "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"}) &&
               issue("good", "IP:127.0.0.1,DNS:localhost") &&
               issue("other", "DNS:api.orvane.test") &&
               run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", path("self.key"), "-out", path("self.pem"), "-days", "2",
                    "-subj", "/CN=self", "-addext", "subjectAltName=IP:127.0.0.1"});
    }

    QString caFile() const { return path("ca.pem"); }
    QSslCertificate certificate(const QString& name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? QSslCertificate(&f, QSsl::Pem) : QSslCertificate();
    }
    QSslKey key(const QString& name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? QSslKey(&f, QSsl::Ec, QSsl::Pem) : QSslKey();
    }

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    bool issue(const QString& name, const QString& altNames)
    {
        QFile ext(path(name + ".ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write(("subjectAltName=" + altNames + "\nextendedKeyUsage=serverAuth\n").toUtf8());
        ext.close();
        return run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", path(name + ".key"), "-out", path(name + ".csr"), "-subj",
                    "/CN=" + name}) &&
               run({"x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"), "-CAkey",
                    path("ca.key"), "-CAcreateserial", "-out", path(name + ".pem"), "-days", "2",
                    "-extfile", path(name + ".ext")});
    }

    bool run(const QStringList& arguments)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            ADD_FAILURE() << "openssl " << arguments.join(' ').toStdString() << ": "
                          << openssl.readAll().toStdString();
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
};

class ApiClientTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pki = new TestPki;
        ASSERT_TRUE(pki->make());
    }
    static void TearDownTestSuite()
    {
        delete pki;
        pki = nullptr;
    }

    std::unique_ptr<ApiClient> clientFor(const QUrl& base, std::chrono::milliseconds timeout = 5s)
    {
        return std::make_unique<ApiClient>(&transport, base, QStringLiteral("test-client/1.0"),
                                           timeout, BundleInfo());
    }

    static inline TestPki* pki = nullptr;
    HttpTransport transport{HttpTransport::Options{pki->caFile()}};
};

TEST_F(ApiClientTls, ExchangeWithACertificateOfTheTestCa)
{
    ASSERT_TRUE(QSslSocket::supportsSsl());
    ScriptedHttpServer server;
    ASSERT_TRUE(server.listenTls(pki->certificate("good.pem"), pki->key("good.key")));
    EXPECT_EQ(server.url().scheme(), QStringLiteral("https"));
    auto client = clientFor(server.url("/api/v1"));
    client->setAccessToken(QStringLiteral("tls-token"));
    server.enqueue(Answer::json(200, kPolicyAnswer));
    const Policy policy = await(client->fetchPolicy());
    EXPECT_EQ(policy.childId, QUuid("{11111111-2222-3333-4444-555555555555}"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, QByteArray("/api/v1/device/policy"));
    EXPECT_EQ(server.requests()[0].header("Authorization"), QByteArray("Bearer tls-token"));
}

TEST_F(ApiClientTls, CertificateForAnotherHostIsRefused)
{
    ScriptedHttpServer server;
    ASSERT_TRUE(server.listenTls(pki->certificate("other.pem"), pki->key("other.key")));
    auto client = clientFor(server.url("/api/v1"));
    client->setAccessToken(QStringLiteral("tls-token"));
    const auto error = apiErrorOf(client->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    const auto* network = error->as<ApiError::Network>();
    ASSERT_NE(network, nullptr) << error->what();
    EXPECT_FALSE(network->underlying.isEmpty());
    EXPECT_TRUE(server.requests().isEmpty()) << "nothing, the token least of all, was sent";
}

TEST_F(ApiClientTls, CertificatesNoTrustedAuthorityIssuedAreRefused)
{
    struct Case {
        const char* name;
        const char* certificate;
        bool trustTestCa;
    };
    const Case cases[] = {
        {"self-signed", "self", true},
        // The system's roots alone: the test CA is not among them.
        {"test CA not trusted", "good", false},
    };
    for (const Case& c : cases) {
        HttpTransport systemRoots;
        ScriptedHttpServer server;
        ASSERT_TRUE(server.listenTls(pki->certificate(QString::fromLatin1(c.certificate) + ".pem"),
                                     pki->key(QString::fromLatin1(c.certificate) + ".key")));
        ApiClient client(c.trustTestCa ? &transport : &systemRoots, server.url("/api/v1"),
                         QStringLiteral("test-client/1.0"), 5s, BundleInfo());
        client.setAccessToken(QStringLiteral("tls-token"));
        const auto error = apiErrorOf(client.fetchPolicy());
        ASSERT_TRUE(error.has_value()) << c.name;
        const auto* network = error->as<ApiError::Network>();
        ASSERT_NE(network, nullptr) << c.name << ": " << error->what();
        EXPECT_FALSE(network->underlying.contains(QStringLiteral("tls-token"))) << c.name;
        EXPECT_TRUE(server.requests().isEmpty()) << c.name;
    }
}

TEST_F(ApiClientTls, PlainHttpAnswerToHttpsIsNetwork)
{
    ScriptedHttpServer plain;
    ASSERT_TRUE(plain.listen());
    QUrl base = plain.url("/api/v1");
    base.setScheme(QStringLiteral("https"));
    // The plain server waits for a request it never gets; the handshake times out.
    auto client = clientFor(base, 500ms);
    const auto error = apiErrorOf(client->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->as<ApiError::Network>(), nullptr) << error->what();
}

} // namespace
