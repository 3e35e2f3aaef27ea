#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

/**
 * orvane-devservice run as a child of the test, on a free port of 127.0.0.1, and stopped with
 * this object. The test passes the program's path; its CMakeLists can hand it over with
 * target_compile_definitions(<test> PRIVATE ORVANE_DEVSERVICE="$<TARGET_FILE:orvane-devservice>").
 * Output is collected while the test runs the event loop.
 */
class DevServiceProcess {
public:
    explicit DevServiceProcess(QString program, QStringList arguments = {});
    ~DevServiceProcess();
    DevServiceProcess(const DevServiceProcess&) = delete;
    DevServiceProcess& operator=(const DevServiceProcess&) = delete;

    /** Waits until it has printed its base URL and pairing code; false if it did not. */
    bool start(int timeoutMs = 30000);

    /** The service base URL, as "http://127.0.0.1:N/api/v1". */
    [[nodiscard]] QUrl baseUrl() const { return m_baseUrl; }
    /** A URL below the root, as url("/admin/state"). */
    [[nodiscard]] QUrl url(const QString& path) const;
    /** The pairing code printed last. */
    [[nodiscard]] QString pairingCode() const { return m_pairingCode; }
    /** Every line printed so far. */
    [[nodiscard]] const QStringList& lines() const { return m_lines; }
    /** The lines that log a call ("METHOD /path STATUS device"). */
    [[nodiscard]] QStringList callLines() const;
    /** What it printed so far, for failure messages; its stderr goes to the test's. */
    [[nodiscard]] QString output() const;

private:
    void readLines();

    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    QUrl m_baseUrl;
    QString m_pairingCode;
};
