#include "Platform/BundleInfo.h"

#include <QFile>

BundleInfo::BundleInfo(Json::Value dictionary)
{
    if (dictionary.is_object())
        m_dictionary = std::move(dictionary);
}

BundleInfo BundleInfo::fromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    try {
        return BundleInfo(Json::parse(file.read(1 << 20)));
    } catch (const Json::DecodingError&) {
        return {};
    }
}

std::optional<QString> BundleInfo::text(const char* key) const
{
    const auto it = m_dictionary.find(key);
    if (it == m_dictionary.end() || !it->is_string())
        return std::nullopt;
    return Json::Codec<QString>::read(*it, key);
}
