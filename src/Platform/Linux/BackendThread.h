#pragma once

#include <QString>

#include <memory>

class QObject;
class QThread;

/**
 * The thread of a desktop backend that follows the desktop over D-Bus, with the one worker
 * object that lives on it. The worker is used and destroyed on that thread, so its destructor
 * is where it closes what it opened there (its bus connection, what it loaded into the desktop).
 */
class BackendThread {
public:
    /** Starts a thread named name and moves worker, which it then owns, onto it. */
    BackendThread(const QString& name, QObject* worker);
    /** Destroys the worker on its thread, then ends and joins the thread. */
    ~BackendThread();
    BackendThread(const BackendThread&) = delete;
    BackendThread& operator=(const BackendThread&) = delete;

private:
    std::unique_ptr<QThread> m_thread;
    QObject* m_worker;
};
