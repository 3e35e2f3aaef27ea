#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

/**
 * The wire conventions every record follows: keys are field names; a missing key and null
 * both read as absent; a missing required key or a value of the wrong JSON type fails the
 * whole record with a description naming the key path (as "customRules[2].action"); unknown
 * keys are ignored; absent optionals are left out when writing; UUIDs are written upper case
 * and read in either case; instants are RFC 3339 text.
 *
 * A record R takes part by providing `static R fromJson(const Json::Reader&)` and/or
 * `Json::Value toJson() const`.
 */
namespace Json {

using Value = nlohmann::json;

/** A failure to turn JSON into a record; what() is "<path>: <reason>". */
class DecodingError : public std::runtime_error {
public:
    DecodingError(const std::string& path, const std::string& reason);
    [[nodiscard]] const std::string& path() const { return m_path; }
    [[nodiscard]] const std::string& reason() const { return m_reason; }

private:
    std::string m_path;
    std::string m_reason;
};

/** Strict RFC 8259 parsing of a whole document; throws DecodingError. */
Value parse(const QByteArray& bytes);

/** Compact text. */
QByteArray write(const Value& value);

std::string joinPath(const std::string& path, const std::string& key);
std::string indexPath(const std::string& path, std::size_t index);
std::string typeName(const Value& value);

template <typename T, typename = void>
struct Codec;

/** Reads the members of one JSON object at a path. */
class Reader {
public:
    /** Throws DecodingError unless value is an object. */
    Reader(const Value& value, std::string path);

    /** The key is there and not null. */
    [[nodiscard]] bool isPresent(const char* key) const;

    template <typename T>
    [[nodiscard]] T required(const char* key) const
    {
        const Value* v = member(key);
        if (!v)
            throw DecodingError(joinPath(m_path, key), "required key is missing");
        if (v->is_null())
            throw DecodingError(joinPath(m_path, key), "required value is null");
        return Codec<T>::read(*v, joinPath(m_path, key));
    }

    template <typename T>
    [[nodiscard]] std::optional<T> optional(const char* key) const
    {
        const Value* v = member(key);
        if (!v || v->is_null())
            return std::nullopt;
        return Codec<T>::read(*v, joinPath(m_path, key));
    }

    [[nodiscard]] const std::string& path() const { return m_path; }

private:
    const Value* member(const char* key) const;

    const Value& m_object;
    std::string m_path;
};

/** Builds one JSON object; absent optionals are left out. */
class Writer {
public:
    template <typename T>
    Writer& put(const char* key, const T& value)
    {
        m_object[key] = Codec<T>::write(value);
        return *this;
    }

    template <typename T>
    Writer& put(const char* key, const std::optional<T>& value)
    {
        if (value)
            m_object[key] = Codec<T>::write(*value);
        return *this;
    }

    [[nodiscard]] Value take() { return std::move(m_object); }

private:
    Value m_object = Value::object();
};

/** Decodes a whole document as record R. */
template <typename R>
R decode(const QByteArray& bytes)
{
    return Codec<R>::read(parse(bytes), std::string());
}

/** Encodes record R as compact JSON. */
template <typename R>
QByteArray encode(const R& record)
{
    return write(Codec<R>::write(record));
}

// --- codecs of the plain value types ---

template <>
struct Codec<QString> {
    static QString read(const Value& v, const std::string& path);
    static Value write(const QString& s);
};

template <>
struct Codec<bool> {
    static bool read(const Value& v, const std::string& path);
    static Value write(bool b) { return b; }
};

template <>
struct Codec<std::int64_t> {
    static std::int64_t read(const Value& v, const std::string& path);
    static Value write(std::int64_t n) { return n; }
};

template <>
struct Codec<int> {
    static int read(const Value& v, const std::string& path);
    static Value write(int n) { return n; }
};

template <>
struct Codec<QUuid> {
    static QUuid read(const Value& v, const std::string& path);
    static Value write(const QUuid& id);
};

/** Instants, read by the date-decoding rule ("bad date") and written as RFC 3339 UTC. */
template <>
struct Codec<QDateTime> {
    static QDateTime read(const Value& v, const std::string& path);
    static Value write(const QDateTime& instant);
};

template <typename T>
struct Codec<QList<T>> {
    static QList<T> read(const Value& v, const std::string& path)
    {
        if (!v.is_array())
            throw DecodingError(path, "expected an array, found " + typeName(v));
        QList<T> list;
        list.reserve(static_cast<qsizetype>(v.size()));
        for (std::size_t i = 0; i < v.size(); ++i)
            list.push_back(Codec<T>::read(v[i], indexPath(path, i)));
        return list;
    }
    static Value write(const QList<T>& list)
    {
        Value array = Value::array();
        for (const auto& item : list)
            array.push_back(Codec<T>::write(item));
        return array;
    }
};

/** Maps of text to text: JSON objects whose members are all strings. */
template <>
struct Codec<QMap<QString, QString>> {
    static QMap<QString, QString> read(const Value& v, const std::string& path);
    static Value write(const QMap<QString, QString>& map);
};

/** Records: anything with fromJson(Reader) and/or toJson(). */
template <typename R>
concept ReadableRecord = requires(const Reader& reader) {
    { R::fromJson(reader) } -> std::same_as<R>;
};
template <typename R>
concept WritableRecord = requires(const R& record) {
    { record.toJson() } -> std::same_as<Value>;
};

template <typename R>
    requires(ReadableRecord<R> || WritableRecord<R>)
struct Codec<R, void> {
    static R read(const Value& v, const std::string& path)
        requires ReadableRecord<R>
    {
        return R::fromJson(Reader(v, path));
    }
    static Value write(const R& record)
        requires WritableRecord<R>
    {
        return record.toJson();
    }
};

} // namespace Json
