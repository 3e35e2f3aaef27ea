#include "Platform/Linux/AppStreamComponents.h"

#include "Platform/Linux/RegularFile.h"

#include <QXmlStreamReader>

#include <zlib.h>

#include <memory>

namespace {

constexpr qint64 chunkSize = 64 * 1024;
// A catalog line longer than this carries no id worth reading (descriptions can be long).
constexpr qsizetype maximumYamlLine = 64 * 1024;

// Feeds a file's bytes, decompressed when it is gzip, to consume; false when it was skipped.
bool streamFile(const QString& path, qint64 maximumSize, qint64 maximumExpandedSize,
                const std::function<bool(const char*, qint64)>& consume)
{
    RegularFile file(path);
    if (!file.isOpen() || file.size() > maximumSize)
        return false;
    const bool compressed = path.endsWith(u".gz");
    z_stream stream{};
    if (compressed && inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return false;
    const std::unique_ptr<z_stream, void (*)(z_stream*)> cleanup(
        compressed ? &stream : nullptr, [](z_stream* s) { inflateEnd(s); });

    QByteArray input(chunkSize, Qt::Uninitialized);
    QByteArray output(chunkSize, Qt::Uninitialized);
    qint64 read = 0;
    qint64 expanded = 0;
    for (;;) {
        const qint64 n = file.readSome(input.data(), input.size());
        if (n < 0)
            return false;
        read += n;
        if (read > maximumSize)
            return false;
        if (!compressed) {
            if (n == 0)
                return true;
            if (!consume(input.constData(), n))
                return false;
            continue;
        }
        if (n == 0)
            return false; // the compressed stream ended early
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(n);
        while (stream.avail_in > 0) {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            const int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END)
                return false;
            const qint64 produced = output.size() - stream.avail_out;
            expanded += produced;
            if (expanded > maximumExpandedSize || !consume(output.constData(), produced))
                return false;
            if (status == Z_STREAM_END)
                return true;
        }
    }
}

class XmlComponents {
public:
    explicit XmlComponents(const AppStreamComponents::Sink& sink) : m_sink(sink) {}

    // False once the document is known to be broken.
    bool feed(const char* data, qint64 size)
    {
        m_reader.addData(QByteArray::fromRawData(data, size));
        return parse();
    }
    bool finish() { return parse() && !m_reader.hasError() && m_reader.atEnd(); }

private:
    bool parse()
    {
        while (!m_reader.atEnd()) {
            switch (m_reader.readNext()) {
            case QXmlStreamReader::StartElement:
                start();
                break;
            case QXmlStreamReader::EndElement:
                end();
                break;
            case QXmlStreamReader::Characters:
                if (m_capturing)
                    m_text += m_reader.text();
                break;
            default:
                break;
            }
        }
        return m_reader.error() == QXmlStreamReader::NoError ||
               m_reader.error() == QXmlStreamReader::PrematureEndOfDocumentError;
    }

    void start()
    {
        ++m_depth;
        const auto name = m_reader.name();
        if (name == u"component" && m_componentDepth == 0) {
            m_componentDepth = m_depth;
            m_id.clear();
            m_launchables.clear();
        } else if (m_componentDepth != 0 && m_depth == m_componentDepth + 1 &&
                   (name == u"id" ||
                    (name == u"launchable" &&
                     m_reader.attributes().value(QStringLiteral("type")) == u"desktop-id"))) {
            m_capturing = true;
            m_text.clear();
        }
    }

    void end()
    {
        if (m_capturing && m_depth == m_componentDepth + 1) {
            m_capturing = false;
            const QString text = m_text.trimmed();
            if (m_reader.name() == u"id")
                m_id = text;
            else if (!text.isEmpty())
                m_launchables << text;
        } else if (m_depth == m_componentDepth) {
            m_componentDepth = 0;
            if (!m_id.isEmpty())
                m_sink(m_id, m_launchables);
        }
        --m_depth;
    }

    const AppStreamComponents::Sink& m_sink;
    QXmlStreamReader m_reader;
    int m_depth = 0;
    int m_componentDepth = 0;
    bool m_capturing = false;
    QString m_text;
    QString m_id;
    QStringList m_launchables;
};

// DEP-11: YAML documents separated by "---", each a component with "ID:" and
// "Launchable:\n  desktop-id:\n  - x.desktop". Only those keys are read.
class YamlComponents {
public:
    explicit YamlComponents(const AppStreamComponents::Sink& sink) : m_sink(sink) {}

    bool feed(const char* data, qint64 size)
    {
        for (qint64 i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n') {
                if (!m_overlong)
                    line(m_line);
                m_line.clear();
                m_overlong = false;
            } else if (m_line.size() < maximumYamlLine) {
                m_line += c;
            } else {
                m_overlong = true;
            }
        }
        return true;
    }

    void finish()
    {
        if (!m_overlong)
            line(m_line);
        flush();
    }

private:
    static QString scalar(QByteArrayView text)
    {
        QString value = QString::fromUtf8(text).trimmed();
        if (value.size() >= 2 && (value.startsWith(u'"') || value.startsWith(u'\'')) &&
            value.endsWith(value.front()))
            value = value.mid(1, value.size() - 2);
        return value;
    }

    void line(const QByteArray& text)
    {
        if (text.startsWith("---")) {
            flush();
            return;
        }
        if (text.isEmpty() || text.startsWith('#'))
            return;
        if (text[0] != ' ' && text[0] != '-') {
            m_inLaunchable = text.startsWith("Launchable:");
            m_inDesktopIds = false;
            if (text.startsWith("ID:"))
                m_id = scalar(QByteArrayView(text).sliced(3));
            return;
        }
        if (!m_inLaunchable)
            return;
        const QByteArray trimmed = text.trimmed();
        if (trimmed.endsWith(':')) {
            m_inDesktopIds = trimmed == "desktop-id:";
        } else if (m_inDesktopIds && trimmed.startsWith("- ")) {
            m_launchables << scalar(QByteArrayView(trimmed).sliced(2));
        }
    }

    void flush()
    {
        if (!m_id.isEmpty())
            m_sink(m_id, m_launchables);
        m_id.clear();
        m_launchables.clear();
        m_inLaunchable = m_inDesktopIds = false;
    }

    const AppStreamComponents::Sink& m_sink;
    QByteArray m_line;
    bool m_overlong = false;
    bool m_inLaunchable = false;
    bool m_inDesktopIds = false;
    QString m_id;
    QStringList m_launchables;
};

} // namespace

bool AppStreamComponents::readXml(const QByteArray& xml, const Sink& sink)
{
    XmlComponents reader(sink);
    return reader.feed(xml.constData(), xml.size()) && reader.finish();
}

void AppStreamComponents::readYaml(const QByteArray& yaml, const Sink& sink)
{
    YamlComponents reader(sink);
    reader.feed(yaml.constData(), yaml.size());
    reader.finish();
}

bool AppStreamComponents::readFile(const QString& path, qint64 maximumSize,
                                   qint64 maximumExpandedSize, const Sink& sink)
{
    const QString name = path.endsWith(u".gz") ? path.chopped(3) : path;
    if (name.endsWith(u".xml")) {
        XmlComponents reader(sink);
        return streamFile(path, maximumSize, maximumExpandedSize,
                          [&](const char* data, qint64 size) { return reader.feed(data, size); }) &&
               reader.finish();
    }
    if (name.endsWith(u".yml") || name.endsWith(u".yaml")) {
        YamlComponents reader(sink);
        const bool complete =
            streamFile(path, maximumSize, maximumExpandedSize,
                       [&](const char* data, qint64 size) { return reader.feed(data, size); });
        reader.finish();
        return complete;
    }
    return false;
}

bool AppStreamComponents::isReverseDns(const QString& id)
{
    const QStringList parts = id.split(u'.');
    if (parts.size() < 3 || parts.front().isEmpty() || !parts.front().front().isLetter())
        return false;
    for (const auto& part : parts)
        if (part.isEmpty())
            return false;
    return true;
}

QString AppStreamComponents::normalizedId(const QString& componentId)
{
    if (componentId.endsWith(u".desktop")) {
        const QString base = componentId.chopped(8);
        if (isReverseDns(base))
            return base;
    }
    return componentId;
}
