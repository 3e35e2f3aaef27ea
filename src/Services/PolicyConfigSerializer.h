#pragma once

#include "Models/Policy.h"
#include "Platform/BundleInfo.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <optional>

/**
 * Turns a policy into the configuration dictionaries of the two filtering extensions. The
 * values are only texts, lists of texts and booleans. Pure: equal inputs give equal maps.
 */
class PolicyConfigSerializer {
public:
    PolicyConfigSerializer() = delete;

    /** The endpoint used when neither the caller nor the bundle names one. */
    static QString defaultDohURL();

    /**
     * "dohURL", "blockedDomains", "allowedDomains", "safeSearch", "paused". The endpoint is the
     * given URL's fully encoded text (an empty or invalid URL counts as none), else the bundle's
     * ORVANE_DNS_DOH_URL text as stored, else defaultDohURL().
     */
    static QVariantMap dnsProxyConfiguration(const Policy& policy,
                                             const std::optional<QUrl>& dohURL = std::nullopt,
                                             const BundleInfo& bundle = BundleInfo::main());

    /** "blockedDomains", "allowedDomains", "paused". */
    static QVariantMap contentFilterConfiguration(const Policy& policy);

private:
    static std::optional<QString> dohURLFromInfoPlist(const BundleInfo& bundle);
    static QStringList blockedDomains(const Policy& policy);
    static QStringList allowedDomains(const Policy& policy);
};
