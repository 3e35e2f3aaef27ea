#pragma once

#include <QString>

/**
 * Receives the answers to one system-extension request. The manager calls every operation on
 * the main thread, from the event loop, never from inside the call that submitted the request.
 */
class SystemExtensionRequestDelegate {
public:
    /** The action that replaces the installed extension with the new one. */
    static constexpr int replaceAction = 1;

    virtual ~SystemExtensionRequestDelegate() = default;

    /** An extension is installed already; returns the action to take (replaceAction). */
    virtual int actionForReplacingExtension(const QString& existingVersion,
                                            const QString& newVersion) = 0;

    /** The request waits for the user (or an administrator) to approve it. */
    virtual void requestNeedsUserApproval() = 0;

    /** The request ended: 0 completed, 1 completes after a restart. */
    virtual void didFinishWithResult(int result) = 0;

    /** The request ended with an error, described by the text. */
    virtual void didFailWithError(const QString& error) = 0;
};
