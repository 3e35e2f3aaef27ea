#pragma once

#include "Support/Json.h"

#include <QString>

#include <string_view>

/** The body of enroll(_:): the pairing code and what the device says about itself. */
struct EnrollRequest {
    static constexpr std::string_view typeName = "EnrollRequest";

    QString pairingCode;
    QString deviceFingerprint;
    QString model;
    QString osVersion;
    QString appVersion;
    QString platform;

    /** Applies the bounds: model cleaned by sanitizeModel, osVersion 50 and appVersion 20 characters. */
    static EnrollRequest make(QString pairingCode, QString deviceFingerprint, const QString& model,
                              const QString& osVersion, const QString& appVersion,
                              QString platform);

    /**
     * Keeps letters, numbers and the nine characters " ._()+/,-" (scalar by scalar), then the
     * first 200 characters; "Mac" when nothing is left. No trimming.
     */
    static QString sanitizeModel(const QString& text);

    /** Reads all six keys; applies no bounds. */
    static EnrollRequest fromJson(const Json::Reader& r);
    [[nodiscard]] Json::Value toJson() const;
    bool operator==(const EnrollRequest&) const = default;
};
