#include "TestSupport/DevServiceProcess.h"

#include "TestSupport/Await.h"

#include <QRegularExpression>

#include <utility>

DevServiceProcess::DevServiceProcess(QString program, QStringList arguments)
    : m_program(std::move(program)), m_arguments(std::move(arguments))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { readLines(); });
}

DevServiceProcess::~DevServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(30000))
            m_process.kill();
    }
}

bool DevServiceProcess::start(int timeoutMs)
{
    QStringList arguments = {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("--port"), QStringLiteral("0")};
    m_process.start(m_program, arguments + m_arguments);
    return processEventsUntil(
               [this] {
                   return (!m_baseUrl.isEmpty() && !m_pairingCode.isEmpty()) ||
                          m_process.state() == QProcess::NotRunning;
               },
               timeoutMs) &&
           m_process.state() == QProcess::Running;
}

QUrl DevServiceProcess::url(const QString& path) const
{
    QUrl root = m_baseUrl;
    root.setPath(path);
    return root;
}

QStringList DevServiceProcess::callLines() const
{
    static const QRegularExpression call(QStringLiteral("^[A-Z]+ /\\S* \\d{3} \\S+$"));
    return m_lines.filter(call);
}

QString DevServiceProcess::output() const
{
    return m_lines.join(u'\n') + u'\n' + QString::fromUtf8(m_partial);
}

void DevServiceProcess::readLines()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_partial.left(end));
        m_partial.remove(0, end + 1);
        m_lines << line;
        if (line.startsWith(u"Base URL: "))
            m_baseUrl = QUrl(line.mid(10));
        else if (line.startsWith(u"Pairing code: "))
            m_pairingCode = line.mid(14);
    }
}
