#include "Platform/Linux/BackendThread.h"

#include <QObject>
#include <QThread>

BackendThread::BackendThread(const QString& name, QObject* worker)
    : m_thread(std::make_unique<QThread>()), m_worker(worker)
{
    m_thread->setObjectName(name);
    m_worker->moveToThread(m_thread.get());
    m_thread->start();
}

BackendThread::~BackendThread()
{
    // Whatever was queued for the worker before runs first.
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { delete worker; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}
