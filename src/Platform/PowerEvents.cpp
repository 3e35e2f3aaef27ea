#include "Platform/PowerEvents.h"

PowerEvents::PowerEvents(QObject* parent) : QObject(parent) {}

PowerEvents::~PowerEvents() = default;
