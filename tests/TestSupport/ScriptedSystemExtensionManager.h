#pragma once

#include "Platform/SystemExtensionManager.h"

#include <QList>

#include <memory>

/**
 * A system-extension manager that only records what is submitted; the test answers through
 * the recorded delegates, playing the platform. Like the platform it keeps each delegate
 * alive until the test forgets the request.
 */
class ScriptedSystemExtensionManager : public SystemExtensionManager {
public:
    struct Submission {
        RequestKind kind;
        QString identifier;
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
        /** Still alive once the delegate is forgotten only if someone else holds it. */
        std::weak_ptr<SystemExtensionRequestDelegate> watch;

        SystemExtensionRequestDelegate& answer() const { return *delegate; }
    };

    void submitRequest(RequestKind kind, const QString& identifier,
                       std::shared_ptr<SystemExtensionRequestDelegate> delegate) override
    {
        std::weak_ptr<SystemExtensionRequestDelegate> watch = delegate;
        submissions.push_back({kind, identifier, std::move(delegate), std::move(watch)});
    }

    /** Drops the manager's own hold on a request's delegate. */
    void forget(qsizetype index) { submissions[index].delegate.reset(); }

    QList<Submission> submissions;
};
