#pragma once

// A program the compositor tests start, with fork and exec rather than QProcess: Qt starts its
// children with a clone that shares the parent's memory, where the child's calls rewrite the
// calling thread's ThreadSanitizer state, so that thread's later locks go unseen and every
// access it shares with another thread is reported.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    /** Environment changes: a value to set, or none to remove the variable. */
    using Environment = std::map<QByteArray, std::optional<QByteArray>>;

    /** Starts program (found in PATH unless a path); standard output to /dev/null when quiet. */
    ChildProcess(const QString& program, const QStringList& arguments,
                 const Environment& changes = {}, bool quiet = false)
    {
        std::vector<QByteArray> argumentBytes{program.toLocal8Bit()};
        for (const auto& argument : arguments)
            argumentBytes.push_back(argument.toLocal8Bit());
        std::vector<QByteArray> environmentBytes;
        for (char** entry = environ; *entry; ++entry) {
            const QByteArray line(*entry);
            if (!changes.contains(line.left(line.indexOf('='))))
                environmentBytes.push_back(line);
        }
        for (const auto& [name, value] : changes)
            if (value)
                environmentBytes.push_back(name + '=' + *value);
        // Everything the child needs is made before the fork: it only execs.
        std::vector<char*> argv;
        for (auto& bytes : argumentBytes)
            argv.push_back(bytes.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& bytes : environmentBytes)
            envp.push_back(bytes.data());
        envp.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            if (quiet) {
                const int null = ::open("/dev/null", O_WRONLY);
                if (null >= 0)
                    ::dup2(null, STDOUT_FILENO);
            }
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool started() const { return m_pid > 0; }

    /** Whether it has not ended yet. */
    [[nodiscard]] bool isRunning()
    {
        return m_pid > 0 && !m_status && !reaped(::waitpid(m_pid, &m_rawStatus, WNOHANG));
    }

    /** Ends it with SIGTERM, then SIGKILL when it has not ended after waitMs. */
    void stop(int waitMs = 10000)
    {
        if (!isRunning())
            return;
        ::kill(m_pid, SIGTERM);
        if (waitForExit(waitMs))
            return;
        ::kill(m_pid, SIGKILL);
        waitForExit(5000);
    }

    /** Waits up to waitMs for it to end; whether it has. */
    bool waitForExit(int waitMs)
    {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + milliseconds(waitMs);
        while (isRunning()) {
            if (steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return true;
    }

    /** Its exit status once ended normally, else none. */
    [[nodiscard]] std::optional<int> exitCode() const
    {
        return m_status && WIFEXITED(*m_status) ? std::optional(WEXITSTATUS(*m_status))
                                                : std::nullopt;
    }

private:
    bool reaped(pid_t result)
    {
        if (result == m_pid || (result < 0 && errno == ECHILD)) {
            m_status = result == m_pid ? m_rawStatus : -1;
            return true;
        }
        return false;
    }

    pid_t m_pid = -1;
    int m_rawStatus = 0;
    std::optional<int> m_status;
};
