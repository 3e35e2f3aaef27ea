#pragma once

#include "Platform/NetworkPathMonitor.h"

#include <QObject>

#include <memory>

/**
 * A path monitor whose paths the test sends. Like the real one it delivers its initial path
 * queued after start(); send() delivers at once, on the caller's thread, while started.
 */
class ScriptedNetworkPathMonitor final : public NetworkPathMonitor {
public:
    explicit ScriptedNetworkPathMonitor(NetworkPath initial = wiredEthernet());

    void start(Handler handler) override;
    void cancel() override;

    void send(const NetworkPath& path);

    [[nodiscard]] bool isStarted() const { return static_cast<bool>(m_handler); }
    [[nodiscard]] int startCount() const { return m_startCount; }

    static NetworkPath wifi();
    static NetworkPath wiredEthernet();
    static NetworkPath cellular();
    /** Satisfied, over none of the three kinds of link. */
    static NetworkPath otherLink();
    static NetworkPath offline();

private:
    NetworkPath m_initial;
    Handler m_handler;
    std::unique_ptr<QObject> m_context;
    int m_startCount = 0;
};
