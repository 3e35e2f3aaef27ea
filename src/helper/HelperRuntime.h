#pragma once

#include "Services/HeartbeatScheduler.h"

#include <functional>
#include <memory>

class ActivityReporter;
class NetworkPathMonitor;
class PowerEvents;
class QCoreApplication;

/**
 * What the helper's start-up is built over: the intervals and the platform's sources. The
 * sources are obtained only after the starting line is logged, in the start-up's own order.
 */
struct HelperSources {
    HeartbeatScheduler::Config config;
    std::function<PowerEvents&()> power;
    std::function<std::unique_ptr<NetworkPathMonitor>()> pathMonitor;
    std::function<ActivityReporter&()> activity;
};

/**
 * The helper's start-up on the main thread: restores the session from the keychain, runs the
 * scheduler while the device is paired and stops it when it is not. Returns when the event loop
 * ends, which the helper never asks for.
 */
int runHelper(QCoreApplication& app, HelperSources sources);
