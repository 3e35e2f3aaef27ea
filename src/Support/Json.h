#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

/**
 * The wire conventions every record follows: keys are field names; a missing key and null
 * both read as absent; a missing required key or a value of the wrong JSON type fails the
 * whole record with a description naming the key path (as "customRules[2].action"); unknown
 * keys are ignored; absent optionals are left out when writing; UUIDs are written upper case
 * and read in either case; instants are RFC 3339 text.
 *
 * A record R takes part by providing `static R fromJson(const Json::Reader&)` and/or
 * `Json::Value toJson() const`.
 *
 * Reading goes through Node, a read-only view of either a parsed Document (the path decode()
 * takes: simdjson's strict parser, no allocation per value) or an nlohmann value (Value
 * converts to Node implicitly). Writing builds nlohmann values.
 */
namespace Json {

using Value = nlohmann::json;

/** A failure to turn JSON into a record; what() is "<path>: <reason>". */
class DecodingError : public std::runtime_error {
public:
    DecodingError(const std::string& path, const std::string& reason);
    [[nodiscard]] const std::string& path() const { return m_path; }
    [[nodiscard]] const std::string& reason() const { return m_reason; }

    /** The same failure seen from the enclosing value at prefix ("a" + "[2].b" = "a[2].b"). */
    [[nodiscard]] static DecodingError nested(const std::string& prefix, const DecodingError& inner);

private:
    std::string m_path;
    std::string m_reason;
};

class Node;

/**
 * One JSON text parsed strictly (RFC 8259, by simdjson) and held for reading. Throws
 * DecodingError for text that is not JSON, nested deeper than maxDepth, or holding an integer
 * beyond 64 bits or a number beyond a double; the error names the kind of fault, never the
 * text. A leading UTF-8 byte order mark is ignored. Nodes taken from it live as long as it
 * does; the bytes are not needed after construction.
 *
 * simdjson reads up to `padding` bytes past the end of the text. Bytes with that much spare
 * capacity after their end are parsed where they lie; others are first copied once into a
 * padded buffer that the thread keeps for the next document.
 */
class Document {
public:
    static constexpr int maxDepth = 512;
    static constexpr qsizetype padding = 64;

    explicit Document(const QByteArray& bytes);
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    [[nodiscard]] Node root() const;

    enum class Kind : std::uint8_t { null, boolean, integer, unsignedInteger, floating, string, array, object };

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

/** A read-only view of one JSON value. */
class Node {
public:
    using Kind = Document::Kind;

    Node(const Value& value) : m_value(&value) {} // NOLINT: implicit on purpose

    /**
     * integer: a whole number that fits int64; unsignedInteger: one above int64's range (a
     * Document's) or any non-negative one (an nlohmann value's); floating: with a fraction or
     * an exponent.
     */
    [[nodiscard]] Kind kind() const;
    [[nodiscard]] bool isNull() const { return kind() == Kind::null; }
    [[nodiscard]] bool isObject() const { return kind() == Kind::object; }
    [[nodiscard]] bool isArray() const { return kind() == Kind::array; }
    [[nodiscard]] bool isString() const { return kind() == Kind::string; }

    /** Accessors for the matching kind only (std::logic_error otherwise). */
    [[nodiscard]] bool boolean() const;
    [[nodiscard]] std::int64_t integer() const;
    [[nodiscard]] std::uint64_t unsignedInteger() const;
    [[nodiscard]] double floating() const;
    [[nodiscard]] std::string_view text() const;

    /** Elements of an array, members of an object. */
    [[nodiscard]] std::size_t size() const;

    /** Calls visit(node) for each array element in order. */
    template <typename Visit>
    void forEachElement(Visit&& visit) const
    {
        using V = std::remove_reference_t<Visit>;
        visitElements([](void* context, const Node& node) { (*static_cast<V*>(context))(node); },
                      const_cast<void*>(static_cast<const void*>(std::addressof(visit))));
    }

    /** Calls visit(key, node) for each object member in order (a repeated key: each time). */
    template <typename Visit>
    void forEachMember(Visit&& visit) const
    {
        using V = std::remove_reference_t<Visit>;
        visitMembers([](void* context, std::string_view key,
                        const Node& node) { (*static_cast<V*>(context))(key, node); },
                     const_cast<void*>(static_cast<const void*>(std::addressof(visit))));
    }

    /** The member under key (the last one when repeated, as nlohmann keeps), if any. */
    [[nodiscard]] std::optional<Node> find(std::string_view key) const;

    /** A copy as an nlohmann value. */
    [[nodiscard]] Value toValue() const;

private:
    friend class Document;
    friend struct NodeAccess;

    /** The bytes of a simdjson::dom::element (a document and a place in it). */
    struct Element {
        alignas(8) std::array<std::byte, 16> bytes{};
    };
    explicit Node(const Element& element) : m_element(element) {}

    using ElementVisitor = void (*)(void* context, const Node& node);
    using MemberVisitor = void (*)(void* context, std::string_view key, const Node& node);
    void visitElements(ElementVisitor visitor, void* context) const;
    void visitMembers(MemberVisitor visitor, void* context) const;

    const Value* m_value = nullptr;
    Element m_element;
};

/** Strict parsing of a whole document (as Document) into an nlohmann value; throws DecodingError. */
Value parse(const QByteArray& bytes);

/** Compact text. */
QByteArray write(const Value& value);

std::string joinPath(const std::string& path, const std::string& key);
std::string indexPath(const std::string& path, std::size_t index);
std::string typeName(const Node& value);

template <typename T, typename = void>
struct Codec;

/** Reads the members of one JSON object at a path. */
class Reader {
public:
    /** Throws DecodingError unless value is an object. */
    Reader(Node value, std::string path);

    /** The key is there and not null. */
    [[nodiscard]] bool isPresent(const char* key) const;

    template <typename T>
    [[nodiscard]] T required(const char* key) const
    {
        const std::optional<Node> v = member(key);
        if (!v)
            throw DecodingError(joinPath(m_path, key), "required key is missing");
        if (v->isNull())
            throw DecodingError(joinPath(m_path, key), "required value is null");
        return read<T>(*v, key);
    }

    template <typename T>
    [[nodiscard]] std::optional<T> optional(const char* key) const
    {
        const std::optional<Node> v = member(key);
        if (!v || v->isNull())
            return std::nullopt;
        return read<T>(*v, key);
    }

    [[nodiscard]] const std::string& path() const { return m_path; }

private:
    [[nodiscard]] std::optional<Node> member(const char* key) const { return m_object.find(key); }

    // The path is put together only when something fails: decoding stays allocation-free.
    template <typename T>
    T read(const Node& v, const char* key) const
    {
        try {
            return Codec<T>::read(v, std::string());
        } catch (const DecodingError& e) {
            throw DecodingError::nested(joinPath(m_path, key), e);
        }
    }

    Node m_object;
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
    const Document document(bytes);
    return Codec<R>::read(document.root(), std::string());
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
    static QString read(const Node& v, const std::string& path);
    static Value write(const QString& s);
};

template <>
struct Codec<bool> {
    static bool read(const Node& v, const std::string& path);
    static Value write(bool b) { return b; }
};

template <>
struct Codec<std::int64_t> {
    static std::int64_t read(const Node& v, const std::string& path);
    static Value write(std::int64_t n) { return n; }
};

template <>
struct Codec<int> {
    static int read(const Node& v, const std::string& path);
    static Value write(int n) { return n; }
};

template <>
struct Codec<QUuid> {
    static QUuid read(const Node& v, const std::string& path);
    static Value write(const QUuid& id);
};

/** Instants, read by the date-decoding rule ("bad date") and written as RFC 3339 UTC. */
template <>
struct Codec<QDateTime> {
    static QDateTime read(const Node& v, const std::string& path);
    static Value write(const QDateTime& instant);
};

template <typename T>
struct Codec<QList<T>> {
    static QList<T> read(const Node& v, const std::string& path)
    {
        if (!v.isArray())
            throw DecodingError(path, "expected an array, found " + typeName(v));
        QList<T> list;
        list.reserve(static_cast<qsizetype>(v.size()));
        std::size_t i = 0;
        v.forEachElement([&](const Node& element) {
            try {
                list.push_back(Codec<T>::read(element, std::string()));
            } catch (const DecodingError& e) {
                throw DecodingError::nested(indexPath(path, i), e);
            }
            ++i;
        });
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
    static QMap<QString, QString> read(const Node& v, const std::string& path);
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
    static R read(const Node& v, const std::string& path)
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
