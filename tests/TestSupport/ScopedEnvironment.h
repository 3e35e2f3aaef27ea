#pragma once

#include <QByteArray>

#include <optional>
#include <utility>
#include <vector>

/** Sets or removes environment variables until it is destroyed, then puts the old values back. */
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const char* name, const QByteArray& value);
    void unset(const char* name);

private:
    void save(const char* name);

    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};
