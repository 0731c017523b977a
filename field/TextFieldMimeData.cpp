#include "field/TextFieldMimeData.h"

#include "field/TextStore.h"

namespace {

const QString plainText = QStringLiteral("text/plain");
const QString plainUtf8 = QStringLiteral("text/plain;charset=utf-8");

} // namespace

TextFieldMimeData::TextFieldMimeData(const TextStore &store, qsizetype from, qsizetype to)
    : m_store(&store)
    , m_from(from)
    , m_to(to)
{ }

QStringList TextFieldMimeData::formats() const
{
    return { plainText, plainUtf8 };
}

bool TextFieldMimeData::hasFormat(const QString &mimeType) const
{
    return mimeType == plainText || mimeType == plainUtf8;
}

void TextFieldMimeData::shift(qsizetype by)
{
    m_from += by;
    m_to += by;
}

void TextFieldMimeData::keep()
{
    utf8();
}

void TextFieldMimeData::forget()
{
    m_store = nullptr;
    m_utf8.clear();
}

const QByteArray &TextFieldMimeData::utf8() const
{
    if (m_store) {
        m_utf8 = m_store->utf8(m_from, m_to);
        m_store = nullptr;
    }
    return m_utf8;
}

QVariant TextFieldMimeData::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (!hasFormat(mimeType))
        return {};
    // Within the program the text is wanted as a QString: no UTF-8 on the way.
    if (type.id() == QMetaType::QString)
        return m_store ? m_store->text(m_from, m_to) : QString::fromUtf8(m_utf8);
    return utf8();
}
