// orvane-devservice: a local stand-in for the service, for the demo and the end-to-end tests.
#include "DevService.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void writeLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString& message)
{
    std::fprintf(stderr, "orvane-devservice: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvane-devservice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A local stand-in for the service: the six device calls under /api/v1/device/ and the\n"
        "admin calls POST /admin/pairing-code, POST /admin/devices/<id>/revoke,\n"
        "POST /admin/devices/<id>/renew-token and GET /admin/state, over plain HTTP.\n"
        "Prints the base URL and the pairing code, then one line per call."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port; 0 picks a free one (default)."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption policy(
        QStringLiteral("policy"),
        QStringLiteral("JSON policy file, read again when it changes; served as it is, with the "
                       "device's childId added when it has none. Default: {}."),
        QStringLiteral("FILE"));
    const QCommandLineOption idle(QStringLiteral("idle-timeout"),
                                  QStringLiteral("Seconds before an idle connection is closed "
                                                 "(default 120)."),
                                  QStringLiteral("SECONDS"), QStringLiteral("120"));
    parser.addOptions({port, listen, policy, idle});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().front()));

    DevService::Options options;
    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535)
        return fail(QStringLiteral("--port takes a number from 0 to 65535"));
    options.port = static_cast<quint16>(portNumber);
    if (!options.address.setAddress(parser.value(listen)))
        return fail(
            QStringLiteral("--listen takes an IP address, not %1").arg(parser.value(listen)));
    const int idleSeconds = parser.value(idle).toInt(&ok);
    if (!ok || idleSeconds < 1)
        return fail(QStringLiteral("--idle-timeout takes a whole number of seconds, at least 1"));
    options.idleTimeout = std::chrono::seconds(idleSeconds);
    options.policyPath = parser.value(policy);

    DevService service(options, writeLine);
    QString error;
    if (!service.start(&error))
        return fail(error);
    return QCoreApplication::exec();
}
