#include "text/textEncoding.h"

#include "text/StreamDecoder.h"
#include "text/systemEncodings.h"

#include <QStringEncoder>

#include <algorithm>

namespace {

// The encodings the toolkit converts on every platform; the system does the rest.
bool toolkitEncodes(const QByteArray &name)
{
    return name == "UTF-8" || name == "ISO-8859-1" || name == "UTF-16LE" || name == "UTF-16BE";
}

} // namespace

QList<TextEncoding> availableEncodings()
{
    static const QList<TextEncoding> offered = [] {
        const QList<TextEncoding> wanted {
            { QStringLiteral("UTF-8"), "UTF-8" },
            { QStringLiteral("Latin-1"), "ISO-8859-1" },
            { QStringLiteral("Windows-1252"), "windows-1252" },
            { QStringLiteral("UTF-16 LE"), "UTF-16LE" },
            { QStringLiteral("UTF-16 BE"), "UTF-16BE" },
            { QStringLiteral("GB18030"), "GB18030" },
            { QStringLiteral("Big5"), "Big5" },
            { QStringLiteral("Shift_JIS"), "Shift_JIS" },
            { QStringLiteral("EUC-KR"), "EUC-KR" },
            { QStringLiteral("KOI8-R"), "KOI8-R" },
        };
        QList<TextEncoding> known;
        for (const TextEncoding &encoding : wanted) {
            if (toolkitEncodes(encoding.name) || SystemConverter(encoding.name).isValid())
                known.append(encoding);
        }
        return known;
    }();
    return offered;
}

EncodedText encodeText(QStringView text, const QByteArray &encoding)
{
    QByteArray bytes;
    if (toolkitEncodes(encoding)) {
        // Without WriteBom a U+FEFF typed first is written as any character is.
        QStringEncoder encoder(encoding.constData(), QStringConverter::Flag::Stateless);
        bytes = encoder(text);
    } else {
        bytes = SystemConverter(encoding).encode(text);
    }
    // What the encoding cannot hold it writes as a stand-in ('?' and the
    // like), so the first character that does not come back is the fault.
    const QString back = StreamDecoder(encoding).decode(bytes, 0, true);
    if (back == text)
        return { std::move(bytes), -1 };
    const auto differs = std::mismatch(text.begin(), text.end(), back.begin(), back.end());
    qsizetype at = differs.first - text.begin();
    // A pair of surrogates is one character: the caret goes before it.
    if (at > 0 && at < text.size() && text[at].isLowSurrogate() && text[at - 1].isHighSurrogate())
        --at;
    return { {}, std::min(at, text.size() - (text.isEmpty() ? 0 : 1)) };
}

QString withLineEnds(QStringView text, LineEnd end)
{
    if (end == LineEnd::Lf)
        return text.toString();
    const QStringView written = end == LineEnd::CrLf ? QStringView(u"\r\n") : QStringView(u"\r");
    QString out;
    out.reserve(text.size() + text.count(u'\n'));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            out += written;
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}
