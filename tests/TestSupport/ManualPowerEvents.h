#pragma once

#include "Platform/PowerEvents.h"

/** Power events that the test emits. */
class ManualPowerEvents final : public PowerEvents {
    Q_OBJECT

public:
    explicit ManualPowerEvents(QObject* parent = nullptr) : PowerEvents(parent) {}

    void sleep() { Q_EMIT willSleep(); }
    void wake() { Q_EMIT didWake(); }
};
