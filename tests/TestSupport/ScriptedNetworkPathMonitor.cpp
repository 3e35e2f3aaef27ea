#include "TestSupport/ScriptedNetworkPathMonitor.h"

#include <QTimer>

ScriptedNetworkPathMonitor::ScriptedNetworkPathMonitor(NetworkPath initial) : m_initial(initial) {}

void ScriptedNetworkPathMonitor::start(Handler handler)
{
    cancel();
    ++m_startCount;
    m_handler = std::move(handler);
    m_context = std::make_unique<QObject>();
    QTimer::singleShot(0, m_context.get(), [this] { send(m_initial); });
}

void ScriptedNetworkPathMonitor::cancel()
{
    m_context.reset();
    m_handler = nullptr;
}

void ScriptedNetworkPathMonitor::send(const NetworkPath& path)
{
    const Handler handler = m_handler;
    if (handler)
        handler(path);
}

NetworkPath ScriptedNetworkPathMonitor::wifi()
{
    return {true, true, false, false};
}

NetworkPath ScriptedNetworkPathMonitor::wiredEthernet()
{
    return {true, false, true, false};
}

NetworkPath ScriptedNetworkPathMonitor::cellular()
{
    return {true, false, false, true};
}

NetworkPath ScriptedNetworkPathMonitor::otherLink()
{
    return {true, false, false, false};
}

NetworkPath ScriptedNetworkPathMonitor::offline()
{
    return {};
}
