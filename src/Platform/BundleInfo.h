#pragma once

#include "Support/Json.h"

#include <QString>

#include <optional>

/**
 * A program's information dictionary: identifier, versions and the two overrides. Read once;
 * a missing or unreadable dictionary is empty.
 */
class BundleInfo {
public:
    BundleInfo() = default;
    explicit BundleInfo(Json::Value dictionary);

    /** The dictionary in the file, or an empty one when it is missing or not a JSON object. */
    static BundleInfo fromFile(const QString& path);

    /** The running program's own dictionary, read on first use. */
    static const BundleInfo& main();

    /** The value under key when it is text; nothing for a missing key or another type. */
    [[nodiscard]] std::optional<QString> text(const char* key) const;

private:
    Json::Value m_dictionary = Json::Value::object();
};
