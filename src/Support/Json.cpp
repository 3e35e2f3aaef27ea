#include "Support/Json.h"

#include "Support/Rfc3339.h"

#include <QStringDecoder>

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

namespace Json {

DecodingError::DecodingError(const std::string& path, const std::string& reason)
    : std::runtime_error(path.empty() ? reason : path + ": " + reason), m_path(path),
      m_reason(reason)
{
}

DecodingError DecodingError::nested(const std::string& prefix, const DecodingError& inner)
{
    const std::string& tail = inner.path();
    if (tail.empty())
        return DecodingError(prefix, inner.reason());
    if (tail.front() == '[')
        return DecodingError(prefix + tail, inner.reason());
    return DecodingError(joinPath(prefix, tail), inner.reason());
}

namespace {

/**
 * The parser of this thread, kept between documents. A document holds it while it lives (its
 * tape and texts are the parser's buffers); a second document alive at the same time on the
 * thread takes a parser of its own.
 */
thread_local std::unique_ptr<simdjson::dom::parser> spareParser;

/** A parser grown beyond this by a large text is freed rather than kept for the next one. */
constexpr std::size_t keptParserCapacity = 1 << 20;

std::unique_ptr<simdjson::dom::parser> takeParser()
{
    if (spareParser)
        return std::move(spareParser);
    auto parser = std::make_unique<simdjson::dom::parser>();
    // The depth is fixed here; later growth of the capacity keeps it.
    if (parser->allocate(simdjson::dom::MINIMAL_DOCUMENT_CAPACITY, Document::maxDepth) !=
        simdjson::SUCCESS)
        throw std::bad_alloc();
    return parser;
}

void giveBack(std::unique_ptr<simdjson::dom::parser> parser)
{
    if (parser && !spareParser && parser->capacity() <= keptParserCapacity)
        spareParser = std::move(parser);
}

/** What went wrong, in words that carry nothing of the text (an answer may hold a credential). */
std::string describe(simdjson::error_code error)
{
    using namespace simdjson;
    switch (error) {
    case EMPTY: return "no JSON value";
    case DEPTH_ERROR: return "nesting too deep";
    case CAPACITY: return "text too large";
    case MEMALLOC: return "out of memory";
    case UTF8_ERROR: return "invalid UTF-8";
    case UNCLOSED_STRING: return "unterminated string";
    case UNESCAPED_CHARS: return "control character in a string";
    case STRING_ERROR: return "bad string escape";
    case NUMBER_ERROR:
    case NUMBER_OUT_OF_RANGE: return "bad number, or one out of range";
    case T_ATOM_ERROR:
    case F_ATOM_ERROR:
    case N_ATOM_ERROR: return "invalid literal";
    case TAPE_ERROR: return "bad structure";
    default: return error_message(error);
    }
}

} // namespace

static_assert(Document::padding == static_cast<qsizetype>(simdjson::SIMDJSON_PADDING));

struct Document::Impl {
    std::unique_ptr<simdjson::dom::parser> parser;
    simdjson::dom::element root;

    ~Impl() { giveBack(std::move(parser)); }
};

/** Moves simdjson's element in and out of Node, which cannot name it. */
struct NodeAccess {
    using element = simdjson::dom::element;
    static_assert(sizeof(element) == sizeof(Node::Element::bytes));
    static_assert(alignof(element) <= alignof(Node::Element));
    static_assert(std::is_trivially_copyable_v<element>);

    static Node node(const element& e)
    {
        Node::Element bytes;
        std::memcpy(bytes.bytes.data(), &e, sizeof e);
        return Node(bytes);
    }

    static element of(const Node& node)
    {
        element e;
        std::memcpy(&e, node.m_element.bytes.data(), sizeof e);
        return e;
    }
};

Document::Document(const QByteArray& bytes) : m_impl(std::make_unique<Impl>())
{
    const char* data = bytes.constData();
    auto size = static_cast<std::size_t>(bytes.size());
    if (size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }
    // Spare capacity after the end is part of the allocation and readable: no copy is needed
    // then. (data_ptr() does not detach; it only tells where the allocation ends.)
    const bool padded =
        const_cast<QByteArray&>(bytes).data_ptr().freeSpaceAtEnd() >= Document::padding;
    m_impl->parser = takeParser();
    const auto result = m_impl->parser->parse(data, size, /*realloc_if_needed=*/!padded);
    if (result.error())
        throw DecodingError({}, "not valid JSON: " + describe(result.error()));
    m_impl->root = result.value_unsafe();
}

Document::~Document() = default;

Node Document::root() const
{
    return NodeAccess::node(m_impl->root);
}

// --- Node ---

namespace {

Document::Kind kindOf(const Value& v)
{
    using K = Document::Kind;
    switch (v.type()) {
    case Value::value_t::object: return K::object;
    case Value::value_t::array: return K::array;
    case Value::value_t::string: return K::string;
    case Value::value_t::boolean: return K::boolean;
    case Value::value_t::number_integer: return K::integer;
    case Value::value_t::number_unsigned: return K::unsignedInteger;
    case Value::value_t::number_float: return K::floating;
    default: return K::null; // null, and the binary and discarded kinds JSON text never gives
    }
}

Document::Kind kindOf(const simdjson::dom::element& e)
{
    using K = Document::Kind;
    using T = simdjson::dom::element_type;
    switch (e.type()) {
    case T::OBJECT: return K::object;
    case T::ARRAY: return K::array;
    case T::STRING: return K::string;
    case T::BOOL: return K::boolean;
    case T::INT64: return K::integer;
    case T::UINT64: return K::unsignedInteger;
    case T::DOUBLE: return K::floating;
    case T::NULL_VALUE: return K::null;
    }
    return K::null;
}

template <typename T>
T checked(simdjson::simdjson_result<T> result, const char* kind)
{
    if (result.error())
        throw std::logic_error(std::string("Json::Node: not ") + kind);
    return result.value_unsafe();
}

} // namespace

Node::Kind Node::kind() const
{
    return m_value ? kindOf(*m_value) : kindOf(NodeAccess::of(*this));
}

bool Node::boolean() const
{
    if (m_value)
        return m_value->get<bool>();
    return checked(NodeAccess::of(*this).get_bool(), "a boolean");
}

std::int64_t Node::integer() const
{
    if (m_value)
        return m_value->get<std::int64_t>();
    return checked(NodeAccess::of(*this).get_int64(), "an integer");
}

std::uint64_t Node::unsignedInteger() const
{
    if (m_value)
        return m_value->get<std::uint64_t>();
    return checked(NodeAccess::of(*this).get_uint64(), "an unsigned integer");
}

double Node::floating() const
{
    if (m_value)
        return m_value->get<double>();
    return checked(NodeAccess::of(*this).get_double(), "a number");
}

std::string_view Node::text() const
{
    if (m_value)
        return m_value->get_ref<const std::string&>();
    return checked(NodeAccess::of(*this).get_string(), "a string");
}

std::size_t Node::size() const
{
    if (m_value)
        return m_value->size();
    const auto e = NodeAccess::of(*this);
    // simdjson's counts stop at 0xFFFFFF; count by walking beyond that.
    constexpr std::size_t saturated = 0xFFFFFF;
    if (e.is_array()) {
        const auto array = e.get_array().value_unsafe();
        if (array.size() < saturated)
            return array.size();
        return static_cast<std::size_t>(std::distance(array.begin(), array.end()));
    }
    if (e.is_object()) {
        const auto object = e.get_object().value_unsafe();
        if (object.size() < saturated)
            return object.size();
        std::size_t n = 0;
        for (auto it = object.begin(); it != object.end(); ++it)
            ++n;
        return n;
    }
    return 0;
}

void Node::visitElements(ElementVisitor visitor, void* context) const
{
    if (m_value) {
        for (const auto& element : *m_value)
            visitor(context, Node(element));
        return;
    }
    for (const simdjson::dom::element element : checked(NodeAccess::of(*this).get_array(), "an array"))
        visitor(context, NodeAccess::node(element));
}

void Node::visitMembers(MemberVisitor visitor, void* context) const
{
    if (m_value) {
        for (auto it = m_value->begin(); it != m_value->end(); ++it)
            visitor(context, std::string_view(it.key()), Node(it.value()));
        return;
    }
    for (const simdjson::dom::key_value_pair member : checked(NodeAccess::of(*this).get_object(), "an object"))
        visitor(context, member.key, NodeAccess::node(member.value));
}

std::optional<Node> Node::find(std::string_view key) const
{
    if (m_value) {
        if (!m_value->is_object())
            return std::nullopt;
        const auto it = m_value->find(key);
        if (it == m_value->end())
            return std::nullopt;
        return Node(*it);
    }
    const auto e = NodeAccess::of(*this);
    if (!e.is_object())
        return std::nullopt;
    // Not simdjson's at_key: that finds the first of repeated keys, and the last one counts.
    std::optional<Node> found;
    const auto object = e.get_object().value_unsafe();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.key_length() == key.size() && it.key() == key)
            found = NodeAccess::node(it.value());
    return found;
}

Value Node::toValue() const
{
    switch (kind()) {
    case Kind::null:
        return nullptr;
    case Kind::boolean:
        return boolean();
    case Kind::integer: {
        // As nlohmann reads text: unsigned when not negative.
        const std::int64_t n = integer();
        if (n >= 0)
            return static_cast<std::uint64_t>(n);
        return n;
    }
    case Kind::unsignedInteger:
        return unsignedInteger();
    case Kind::floating:
        return floating();
    case Kind::string:
        return std::string(text());
    case Kind::array: {
        Value array = Value::array();
        forEachElement([&array](const Node& element) { array.push_back(element.toValue()); });
        return array;
    }
    case Kind::object: {
        Value object = Value::object();
        forEachMember([&object](std::string_view key, const Node& member) {
            object[std::string(key)] = member.toValue();
        });
        return object;
    }
    }
    return nullptr;
}

Value parse(const QByteArray& bytes)
{
    const Document document(bytes);
    return document.root().toValue();
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

std::string typeName(const Node& value)
{
    switch (value.kind()) {
    case Node::Kind::null:
        return "null";
    case Node::Kind::object:
        return "an object";
    case Node::Kind::array:
        return "an array";
    case Node::Kind::string:
        return "a string";
    case Node::Kind::boolean:
        return "a boolean";
    case Node::Kind::integer:
    case Node::Kind::unsignedInteger:
        return "an integer";
    case Node::Kind::floating:
        return "a number with a fraction";
    }
    return "an unsupported value";
}

Reader::Reader(Node value, std::string path) : m_object(value), m_path(std::move(path))
{
    if (!m_object.isObject())
        throw DecodingError(m_path, "expected an object, found " + typeName(m_object));
}

bool Reader::isPresent(const char* key) const
{
    const std::optional<Node> v = member(key);
    return v && !v->isNull();
}

namespace {

// QString::fromUtf8 drops a leading U+FEFF; in a string value or key it is text to keep.
QString exactUtf8(std::string_view text)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace

QString Codec<QString>::read(const Node& v, const std::string& path)
{
    if (!v.isString())
        throw DecodingError(path, "expected a string, found " + typeName(v));
    return exactUtf8(v.text());
}

Value Codec<QString>::write(const QString& s)
{
    return s.toStdString();
}

bool Codec<bool>::read(const Node& v, const std::string& path)
{
    if (v.kind() != Node::Kind::boolean)
        throw DecodingError(path, "expected a boolean, found " + typeName(v));
    return v.boolean();
}

std::int64_t Codec<std::int64_t>::read(const Node& v, const std::string& path)
{
    switch (v.kind()) {
    case Node::Kind::integer:
        return v.integer();
    case Node::Kind::unsignedInteger: {
        const auto n = v.unsignedInteger();
        if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(n);
        throw DecodingError(path, "integer out of range");
    }
    case Node::Kind::floating: {
        // A whole number written with a fraction or exponent (2.0, 1e3) still names an integer.
        const double d = v.floating();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
        throw DecodingError(path, "expected an integer, found a number with a fraction");
    }
    default:
        throw DecodingError(path, "expected an integer, found " + typeName(v));
    }
}

int Codec<int>::read(const Node& v, const std::string& path)
{
    const std::int64_t n = Codec<std::int64_t>::read(v, path);
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        throw DecodingError(path, "integer out of range");
    return static_cast<int>(n);
}

QUuid Codec<QUuid>::read(const Node& v, const std::string& path)
{
    if (!v.isString())
        throw DecodingError(path, "expected a string, found " + typeName(v));
    // Canonical 8-4-4-4-12 hexadecimal text, either case; no braces, no other form.
    const std::string_view s = v.text();
    bool canonical = s.size() == 36;
    for (std::size_t i = 0; canonical && i < s.size(); ++i) {
        const char c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23)
            canonical = c == '-';
        else
            canonical = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    if (!canonical)
        throw DecodingError(path, "not a UUID");
    return QUuid::fromString(QLatin1StringView(s.data(), static_cast<qsizetype>(s.size())));
}

Value Codec<QUuid>::write(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

QDateTime Codec<QDateTime>::read(const Node& v, const std::string& path)
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

QMap<QString, QString> Codec<QMap<QString, QString>>::read(const Node& v, const std::string& path)
{
    if (!v.isObject())
        throw DecodingError(path, "expected an object, found " + typeName(v));
    QMap<QString, QString> map;
    v.forEachMember([&](std::string_view key, const Node& member) {
        // A repeated key keeps its last value; the path is made only for a failure.
        QString value;
        try {
            value = Codec<QString>::read(member, std::string());
        } catch (const DecodingError& e) {
            throw DecodingError::nested(joinPath(path, std::string(key)), e);
        }
        map.insert(exactUtf8(key), value);
    });
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
