#include "TestSupport/ScopedEnvironment.h"

#include <QtGlobal>

#include <algorithm>

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->second)
            qputenv(it->first.constData(), *it->second);
        else
            qunsetenv(it->first.constData());
    }
}

void ScopedEnvironment::set(const char* name, const QByteArray& value)
{
    save(name);
    qputenv(name, value);
}

void ScopedEnvironment::unset(const char* name)
{
    save(name);
    qunsetenv(name);
}

void ScopedEnvironment::save(const char* name)
{
    const bool known = std::any_of(m_saved.begin(), m_saved.end(),
                                   [name](const auto& entry) { return entry.first == name; });
    if (known)
        return;
    m_saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name))
                                                               : std::nullopt);
}
