#include "Support/Json.h"

#include "Support/Rfc3339.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace Json {

DecodingError::DecodingError(const std::string& path, const std::string& reason)
    : std::runtime_error(path.empty() ? reason : path + ": " + reason), m_path(path),
      m_reason(reason)
{
}

namespace {

/**
 * The parser's message without the text it last read: an answer may hold a credential (the
 * enrolment answer holds the device token), and no error text may carry one.
 */
std::string withoutLastRead(const std::string& message)
{
    static const std::string marker = "; last read: '";
    const auto start = message.find(marker);
    if (start == std::string::npos)
        return message;
    const auto expected = message.rfind("'; expected ");
    if (expected != std::string::npos && expected >= start + marker.size() - 1)
        return message.substr(0, start) + message.substr(expected + 1);
    return message.substr(0, start);
}

} // namespace

Value parse(const QByteArray& bytes)
{
    // A raw NUL is never valid JSON text, but the parser stops at one after a number.
    if (bytes.contains('\0'))
        throw DecodingError({}, "not valid JSON: NUL byte in the text");
    try {
        return Value::parse(bytes.cbegin(), bytes.cend());
    } catch (const nlohmann::json::parse_error& e) {
        throw DecodingError({}, "not valid JSON: " + withoutLastRead(e.what()));
    } catch (const nlohmann::json::exception& e) {
        // Number overflow and the like name the offending text: keep only the kind.
        throw DecodingError({}, "not valid JSON: error " + std::to_string(e.id));
    }
}

QByteArray write(const Value& value)
{
    // Texts come from QString and are valid UTF-8; replace rather than throw if one is not.
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string joinPath(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}

std::string indexPath(const std::string& path, std::size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

std::string typeName(const Value& value)
{
    switch (value.type()) {
    case Value::value_t::null:
        return "null";
    case Value::value_t::object:
        return "an object";
    case Value::value_t::array:
        return "an array";
    case Value::value_t::string:
        return "a string";
    case Value::value_t::boolean:
        return "a boolean";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
        return "an integer";
    case Value::value_t::number_float:
        return "a number with a fraction";
    default:
        return "an unsupported value";
    }
}

Reader::Reader(const Value& value, std::string path) : m_object(value), m_path(std::move(path))
{
    if (!m_object.is_object())
        throw DecodingError(m_path, "expected an object, found " + typeName(m_object));
}

const Value* Reader::member(const char* key) const
{
    const auto it = m_object.find(key);
    return it == m_object.end() ? nullptr : &*it;
}

bool Reader::isPresent(const char* key) const
{
    const Value* v = member(key);
    return v && !v->is_null();
}

QString Codec<QString>::read(const Value& v, const std::string& path)
{
    if (!v.is_string())
        throw DecodingError(path, "expected a string, found " + typeName(v));
    const auto& s = v.get_ref<const std::string&>();
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

Value Codec<QString>::write(const QString& s)
{
    return s.toStdString();
}

bool Codec<bool>::read(const Value& v, const std::string& path)
{
    if (!v.is_boolean())
        throw DecodingError(path, "expected a boolean, found " + typeName(v));
    return v.get<bool>();
}

std::int64_t Codec<std::int64_t>::read(const Value& v, const std::string& path)
{
    if (v.is_number_integer() && !v.is_number_unsigned())
        return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        const auto n = v.get<std::uint64_t>();
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(n);
        throw DecodingError(path, "integer out of range");
    }
    if (v.is_number_float()) {
        // A whole number written with a fraction or exponent (2.0, 1e3) still names an integer.
        const double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
        throw DecodingError(path, "expected an integer, found a number with a fraction");
    }
    throw DecodingError(path, "expected an integer, found " + typeName(v));
}

int Codec<int>::read(const Value& v, const std::string& path)
{
    const std::int64_t n = Codec<std::int64_t>::read(v, path);
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        throw DecodingError(path, "integer out of range");
    return static_cast<int>(n);
}

QUuid Codec<QUuid>::read(const Value& v, const std::string& path)
{
    static const QRegularExpression canonical(QStringLiteral(
        "^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    const QString text = Codec<QString>::read(v, path);
    if (!canonical.match(text).hasMatch())
        throw DecodingError(path, "not a UUID");
    return QUuid::fromString(text);
}

Value Codec<QUuid>::write(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

QDateTime Codec<QDateTime>::read(const Value& v, const std::string& path)
{
    const QString text = Codec<QString>::read(v, path);
    if (auto instant = Rfc3339::parse(text))
        return *instant;
    throw DecodingError(path, "bad date");
}

Value Codec<QDateTime>::write(const QDateTime& instant)
{
    return Rfc3339::format(instant).toStdString();
}

QMap<QString, QString> Codec<QMap<QString, QString>>::read(const Value& v, const std::string& path)
{
    if (!v.is_object())
        throw DecodingError(path, "expected an object, found " + typeName(v));
    QMap<QString, QString> map;
    for (auto it = v.begin(); it != v.end(); ++it)
        map.insert(QString::fromStdString(it.key()), Codec<QString>::read(it.value(), joinPath(path, it.key())));
    return map;
}

Value Codec<QMap<QString, QString>>::write(const QMap<QString, QString>& map)
{
    Value object = Value::object();
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object[it.key().toStdString()] = it.value().toStdString();
    return object;
}

} // namespace Json
