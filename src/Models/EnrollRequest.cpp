#include "Models/EnrollRequest.h"

#include "Support/UnicodeText.h"

#include <utility>

namespace {

bool isKeptPunctuation(char32_t c)
{
    switch (c) {
    case U' ':
    case U'.':
    case U'_':
    case U'(':
    case U')':
    case U'+':
    case U'/':
    case U',':
    case U'-':
        return true;
    default:
        return false;
    }
}

} // namespace

EnrollRequest EnrollRequest::make(QString pairingCode, QString deviceFingerprint,
                                  const QString& model, const QString& osVersion,
                                  const QString& appVersion, QString platform)
{
    return {std::move(pairingCode),
            std::move(deviceFingerprint),
            sanitizeModel(model),
            UnicodeText::firstCharacters(osVersion, 50),
            UnicodeText::firstCharacters(appVersion, 20),
            std::move(platform)};
}

QString EnrollRequest::sanitizeModel(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (isKeptPunctuation(c) || UnicodeText::isLetterOrNumber(c))
            kept.append(QString::fromUcs4(&c, 1));
    }
    QString result = UnicodeText::firstCharacters(kept, 200);
    if (result.isEmpty())
        return QStringLiteral("Mac");
    return result;
}

EnrollRequest EnrollRequest::fromJson(const Json::Reader& r)
{
    return {r.required<QString>("pairingCode"), r.required<QString>("deviceFingerprint"),
            r.required<QString>("model"),       r.required<QString>("osVersion"),
            r.required<QString>("appVersion"),  r.required<QString>("platform")};
}

Json::Value EnrollRequest::toJson() const
{
    return Json::Writer()
        .put("pairingCode", pairingCode)
        .put("deviceFingerprint", deviceFingerprint)
        .put("model", model)
        .put("osVersion", osVersion)
        .put("appVersion", appVersion)
        .put("platform", platform)
        .take();
}
