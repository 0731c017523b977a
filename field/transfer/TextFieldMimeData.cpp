#include "field/transfer/TextFieldMimeData.h"

#include "field/model/TextStore.h"
#include "field/transfer/Utf8Maker.h"

namespace {

const QString plainText = QStringLiteral("text/plain");
const QString plainUtf8 = QStringLiteral("text/plain;charset=utf-8");

// Whether two snapshots hold the same text, told without reading it where
// they share a stored run (the store never changes a stored unit), so that a
// Ctrl+A and the Ctrl+C after it share one UTF-8. Runs the store copied
// meanwhile (the last chunk, when an arrival grew it) are compared unit by
// unit, up to a budget: past it the texts count as different, and the copy
// makes UTF-8 of its own.
bool sameText(const TextSnapshot &a, const TextSnapshot &b)
{
    if (a.length() != b.length())
        return false;
    const StoredText::Pieces runs = a.stored().pieces();
    const StoredText::Pieces others = b.stored().pieces();
    qsizetype budget = qsizetype(1) << 20;
    auto run = runs.begin();
    for (const QAnyStringView piece : others) {
        if (run == runs.end())
            return false;
        const QAnyStringView mine = *run++;
        if (mine.size() != piece.size())
            return false;
        if (mine.data() != piece.data()) {
            budget -= piece.size();
            if (budget < 0 || mine != piece)
                return false;
        }
    }
    return run == runs.end();
}

// The one copy whose UTF-8 is kept; copies are made and asked on the GUI
// thread only.
std::weak_ptr<Utf8Maker> &keptUtf8()
{
    static std::weak_ptr<Utf8Maker> kept;
    return kept;
}

std::shared_ptr<Utf8Maker> makerFor(const TextSnapshot &text)
{
    std::shared_ptr<Utf8Maker> kept = keptUtf8().lock();
    if (kept && !kept->isReleased() && sameText(kept->text(), text))
        return kept;
    if (kept)
        kept->release();
    auto maker = std::make_shared<Utf8Maker>(text);
    keptUtf8() = maker;
    return maker;
}

// Copies are made on the GUI thread only.
quint64 &madeCopies()
{
    static quint64 made = 0;
    return made;
}

} // namespace

TextFieldMimeData::TextFieldMimeData(const TextStore &store, qsizetype from, qsizetype to)
    : m_text(store.snapshot(from, to))
    , m_serial(++madeCopies())
{
    if (isLarge())
        utf8Maker();
}

TextFieldMimeData::~TextFieldMimeData() = default;

QStringList TextFieldMimeData::formats() const
{
    return { plainText, plainUtf8 };
}

bool TextFieldMimeData::hasFormat(const QString &mimeType) const
{
    return mimeType == plainText || mimeType == plainUtf8;
}

std::shared_ptr<Utf8Maker> TextFieldMimeData::utf8Maker() const
{
    if (isLarge() && (!m_maker || m_maker->isReleased()))
        m_maker = makerFor(m_text);
    return m_maker;
}

QVariant TextFieldMimeData::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (!hasFormat(mimeType))
        return {};
    // Within the program the text is wanted as a QString: no UTF-8 on the way.
    if (type.id() == QMetaType::QString)
        return m_text.text();
    // The toolkit's own transfers (Wayland, drags) want the bytes whole: a
    // large copy's are ready by now, or this waits for the rest of them.
    if (const std::shared_ptr<Utf8Maker> maker = utf8Maker())
        return maker->bytes();
    return m_text.utf8();
}
