#include "Support/Json.h"

#include "Support/Rfc3339.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include <locale.h>

#include <cmath>
#include <limits>

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

/**
 * A strict RFC 8259 parser that fills a Document's table. It replaces nlohmann::json::parse
 * and nlohmann's tree on the wire path: that lexer reads a character at a time and keeps a
 * copy of every token, and its tree allocates for every object, member and long text, so a
 * 10,000-rule policy took over 7 ms to parse and 12 ms to decode, against a budget of 5 ms for
 * the whole decode on the main thread. Texts without escapes stay views into the bytes.
 * What it accepts is exactly RFC 8259 (checked against the JSONTestSuite corpus): no comments, no trailing
 * commas, no leading zeros or "+", no raw control characters, valid UTF-8 only, no lone
 * surrogate escapes, no NUL byte anywhere. A leading UTF-8 byte order mark is ignored (RFC 8259
 * allows this). Integers keep their kind (unsigned, signed, else a double, as nlohmann does);
 * numbers too large for a double are refused. Nesting is limited to maxDepth. Error texts name
 * the byte offset and the kind of fault, never the text itself (an answer may hold a
 * credential).
 */
class Parser {
public:
    static constexpr int maxDepth = 512;
    using Kind = Document::Kind;
    using Entry = Document::Entry;

    Parser(Document& document, const char* begin, const char* end)
        : m_document(document), m_entries(document.m_entries), m_begin(begin), m_p(begin), m_end(end)
    {
    }

    void document()
    {
        if (m_end - m_p >= 3 && static_cast<unsigned char>(m_p[0]) == 0xEF &&
            static_cast<unsigned char>(m_p[1]) == 0xBB && static_cast<unsigned char>(m_p[2]) == 0xBF)
            m_p += 3;
        // About one value per ten bytes in records like a policy's rules; the table grows
        // beyond that as needed.
        m_entries.reserve(static_cast<std::size_t>(std::min<std::ptrdiff_t>((m_end - m_p) / 10 + 1, 1 << 18)));
        skipSpace();
        value(0);
        skipSpace();
        if (m_p != m_end)
            fail("unexpected text after the document");
    }

private:
    [[noreturn]] void fail(const char* what) const
    {
        throw DecodingError({}, std::string("not valid JSON: ") + what + " at byte " +
                                    std::to_string(m_p - m_begin));
    }

    void skipSpace()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    std::uint32_t push(Kind kind)
    {
        if (m_entries.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
            fail("too many values");
        const auto index = static_cast<std::uint32_t>(m_entries.size());
        m_entries.emplace_back();
        m_entries.back().kind = kind;
        m_entries.back().next = index + 1;
        return index;
    }

    void value(int depth)
    {
        if (m_p == m_end)
            fail("unexpected end of the text");
        switch (*m_p) {
        case '{':
            object(depth + 1);
            return;
        case '[':
            array(depth + 1);
            return;
        case '"':
            string();
            return;
        case 't':
            literal("true");
            m_entries[push(Kind::boolean)].boolean = true;
            return;
        case 'f':
            literal("false");
            m_entries[push(Kind::boolean)].boolean = false;
            return;
        case 'n':
            literal("null");
            push(Kind::null);
            return;
        default:
            if (*m_p == '-' || (*m_p >= '0' && *m_p <= '9')) {
                number();
                return;
            }
            fail("unexpected character");
        }
    }

    void literal(const char* word)
    {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(m_end - m_p) < n || std::memcmp(m_p, word, n) != 0)
            fail("invalid literal");
        m_p += n;
    }

    void object(int depth)
    {
        if (depth > maxDepth)
            fail("nesting too deep");
        ++m_p; // '{'
        const std::uint32_t self = push(Kind::object);
        std::uint32_t count = 0;
        skipSpace();
        if (m_p != m_end && *m_p == '}') {
            ++m_p;
            m_entries[self].next = static_cast<std::uint32_t>(m_entries.size());
            return;
        }
        for (;;) {
            if (m_p == m_end || *m_p != '"')
                fail("expected a member name");
            string();
            skipSpace();
            if (m_p == m_end || *m_p != ':')
                fail("expected ':'");
            ++m_p;
            skipSpace();
            value(depth);
            ++count;
            skipSpace();
            if (m_p == m_end)
                fail("unexpected end of the text");
            if (*m_p == ',') {
                ++m_p;
                skipSpace();
                continue;
            }
            if (*m_p == '}') {
                ++m_p;
                break;
            }
            fail("expected ',' or '}'");
        }
        m_entries[self].count = count;
        m_entries[self].next = static_cast<std::uint32_t>(m_entries.size());
    }

    void array(int depth)
    {
        if (depth > maxDepth)
            fail("nesting too deep");
        ++m_p; // '['
        const std::uint32_t self = push(Kind::array);
        std::uint32_t count = 0;
        skipSpace();
        if (m_p != m_end && *m_p == ']') {
            ++m_p;
            m_entries[self].next = static_cast<std::uint32_t>(m_entries.size());
            return;
        }
        for (;;) {
            value(depth);
            ++count;
            skipSpace();
            if (m_p == m_end)
                fail("unexpected end of the text");
            if (*m_p == ',') {
                ++m_p;
                skipSpace();
                continue;
            }
            if (*m_p == ']') {
                ++m_p;
                break;
            }
            fail("expected ',' or ']'");
        }
        m_entries[self].count = count;
        m_entries[self].next = static_cast<std::uint32_t>(m_entries.size());
    }

    static int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    unsigned hex4()
    {
        if (m_end - m_p < 4)
            fail("incomplete \\u escape");
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(m_p[i]);
            if (d < 0)
                fail("bad \\u escape");
            code = code * 16 + static_cast<unsigned>(d);
        }
        m_p += 4;
        return code;
    }

    static void appendUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    /** Skips one UTF-8 sequence of two to four bytes, strictly (no overlong forms, no surrogates). */
    void utf8Sequence()
    {
        const auto byte = [this](std::ptrdiff_t i) { return static_cast<unsigned char>(m_p[i]); };
        const auto continuation = [&](std::ptrdiff_t i) {
            return m_p + i < m_end && (byte(i) & 0xC0) == 0x80;
        };
        const unsigned char b0 = byte(0);
        int length = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (!continuation(1) || (b0 == 0xE0 && byte(1) < 0xA0) || (b0 == 0xED && byte(1) > 0x9F))
                fail("invalid UTF-8");
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (!continuation(1) || (b0 == 0xF0 && byte(1) < 0x90) || (b0 == 0xF4 && byte(1) > 0x8F))
                fail("invalid UTF-8");
        } else {
            fail("invalid UTF-8");
        }
        for (int i = 1; i < length; ++i)
            if (!continuation(i))
                fail("invalid UTF-8");
        m_p += length;
    }

    /** Printable ASCII other than quote and backslash: what a text's plain run is made of. */
    static bool plainAscii(unsigned char c) { return kPlainAscii[c]; }

    static constexpr auto kPlainAscii = [] {
        std::array<bool, 256> table{};
        for (int c = 0x20; c < 0x80; ++c)
            table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
        return table;
    }();

    void string()
    {
        ++m_p; // opening quote
        const char* start = m_p;
        // The common case: no escape, so the text is a view into the bytes.
        for (;;) {
            while (m_p != m_end && plainAscii(static_cast<unsigned char>(*m_p)))
                ++m_p;
            if (m_p == m_end)
                fail("unterminated string");
            const auto c = static_cast<unsigned char>(*m_p);
            if (c >= 0x80) {
                utf8Sequence();
                continue;
            }
            if (c == '"') {
                setText(push(Kind::string), start, m_p);
                ++m_p;
                return;
            }
            if (c < 0x20)
                fail("control character in a string");
            break; // a backslash: unescape into a text of its own
        }
        std::string& out = m_document.m_unescaped.emplace_back(start, m_p);
        for (;;) {
            const char* run = m_p;
            while (m_p != m_end && plainAscii(static_cast<unsigned char>(*m_p)))
                ++m_p;
            out.append(run, static_cast<std::size_t>(m_p - run));
            if (m_p == m_end)
                fail("unterminated string");
            const auto c = static_cast<unsigned char>(*m_p);
            if (c == '"') {
                ++m_p;
                setText(push(Kind::string), out.data(), out.data() + out.size());
                return;
            }
            if (c < 0x20)
                fail("control character in a string");
            if (c >= 0x80) {
                const char* sequence = m_p;
                utf8Sequence();
                out.append(sequence, static_cast<std::size_t>(m_p - sequence));
                continue;
            }
            ++m_p; // the backslash
            if (m_p == m_end)
                fail("unterminated string");
            const char e = *m_p++;
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned code = hex4();
                if (code >= 0xDC00 && code <= 0xDFFF)
                    fail("lone low surrogate escape");
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (m_end - m_p < 2 || m_p[0] != '\\' || m_p[1] != 'u')
                        fail("lone high surrogate escape");
                    m_p += 2;
                    const unsigned low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF)
                        fail("lone high surrogate escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, code);
                break;
            }
            default:
                --m_p;
                fail("bad escape");
            }
        }
    }

    void setText(std::uint32_t index, const char* from, const char* to)
    {
        if (to - from > std::numeric_limits<std::uint32_t>::max())
            fail("text too long");
        m_entries[index].text = from;
        m_entries[index].count = static_cast<std::uint32_t>(to - from);
    }

    void number()
    {
        const char* start = m_p;
        const auto digits = [this] {
            const char* from = m_p;
            while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            return m_p - from;
        };
        const bool negative = *m_p == '-';
        if (negative)
            ++m_p;
        if (m_p == m_end || *m_p < '0' || *m_p > '9')
            fail("bad number");
        if (*m_p == '0') {
            ++m_p;
            if (m_p != m_end && *m_p >= '0' && *m_p <= '9')
                fail("leading zero in a number");
        } else {
            digits();
        }
        bool integral = true;
        if (m_p != m_end && *m_p == '.') {
            ++m_p;
            integral = false;
            if (digits() == 0)
                fail("bad number");
        }
        if (m_p != m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            integral = false;
            if (m_p != m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (digits() == 0)
                fail("bad number");
        }
        if (integral) {
            // Signed when negative, unsigned otherwise (as nlohmann keeps them).
            if (negative) {
                std::int64_t n = 0;
                const auto r = std::from_chars(start, m_p, n);
                if (r.ec == std::errc() && r.ptr == m_p) {
                    m_entries[push(Kind::integer)].integer = n;
                    return;
                }
            } else {
                std::uint64_t n = 0;
                const auto r = std::from_chars(start, m_p, n);
                if (r.ec == std::errc() && r.ptr == m_p) {
                    m_entries[push(Kind::unsignedInteger)].unsignedInteger = n;
                    return;
                }
            }
            // Beyond 64 bits: a double, as nlohmann keeps it.
        }
        double d = 0;
        const auto r = std::from_chars(start, m_p, d);
        if (r.ec == std::errc::result_out_of_range) {
            // from_chars leaves d unset: strtod (C locale) tells overflow (refused) from
            // underflow (read as zero or a subnormal, as strtod gives).
            static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
            const std::string text(start, m_p);
            d = strtod_l(text.c_str(), nullptr, cLocale);
            if (!std::isfinite(d))
                fail("number out of range");
        } else if (r.ec != std::errc() || r.ptr != m_p) {
            fail("bad number");
        }
        m_entries[push(Kind::floating)].floating = d;
    }

    Document& m_document;
    std::vector<Entry>& m_entries;
    const char* m_begin;
    const char* m_p;
    const char* m_end;
};

Document::Document(const QByteArray& bytes) : m_bytes(bytes)
{
    // A raw NUL is never valid JSON text (nlohmann's parser would stop at one after a number).
    if (m_bytes.contains('\0'))
        throw DecodingError({}, "not valid JSON: NUL byte in the text");
    Parser(*this, m_bytes.constData(), m_bytes.constData() + m_bytes.size()).document();
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

} // namespace

Node::Kind Node::kind() const
{
    return m_value ? kindOf(*m_value) : m_document->m_entries[m_index].kind;
}

bool Node::boolean() const
{
    return m_value ? m_value->get<bool>() : m_document->m_entries[m_index].boolean;
}

std::int64_t Node::integer() const
{
    return m_value ? m_value->get<std::int64_t>() : m_document->m_entries[m_index].integer;
}

std::uint64_t Node::unsignedInteger() const
{
    return m_value ? m_value->get<std::uint64_t>() : m_document->m_entries[m_index].unsignedInteger;
}

double Node::floating() const
{
    return m_value ? m_value->get<double>() : m_document->m_entries[m_index].floating;
}

std::string_view Node::text() const
{
    if (m_value)
        return m_value->get_ref<const std::string&>();
    const auto& e = m_document->m_entries[m_index];
    return {e.text, e.count};
}

std::size_t Node::size() const
{
    if (m_value)
        return m_value->size();
    const auto& e = m_document->m_entries[m_index];
    return e.kind == Kind::array || e.kind == Kind::object ? e.count : 0;
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
    const auto& entries = m_document->m_entries;
    if (entries[m_index].kind != Kind::object)
        return std::nullopt;
    std::optional<Node> found;
    const auto size = static_cast<std::uint32_t>(key.size());
    std::uint32_t i = m_index + 1;
    for (std::uint32_t n = 0; n < entries[m_index].count; ++n) {
        const auto& k = entries[i];
        if (k.count == size && (size == 0 || (k.text[0] == key[0] && std::memcmp(k.text, key.data(), size) == 0)))
            found = Node(m_document, i + 1);
        i = entries[i + 1].next;
    }
    return found;
}

Value Node::toValue() const
{
    switch (kind()) {
    case Kind::null:
        return nullptr;
    case Kind::boolean:
        return boolean();
    case Kind::integer:
        return integer();
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

QString Codec<QString>::read(const Node& v, const std::string& path)
{
    if (!v.isString())
        throw DecodingError(path, "expected a string, found " + typeName(v));
    const std::string_view s = v.text();
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
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
        map.insert(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())), value);
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
