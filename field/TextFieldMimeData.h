#pragma once

#include <QMimeData>

class TextStore;

// Text a field gives to the clipboard, the primary selection or a drag: a
// range of its store, read only when someone asks for it, so a copy of a
// thousand million characters answers at once. Another program gets UTF-8
// made straight from the store, once; the bytes are kept for later requests.
//
// Until then the field must keep the range as it was: before an edit would
// change it, the field calls keep(), which takes the text out of the store.
class TextFieldMimeData final : public QMimeData
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextFieldMimeData)

public:
    TextFieldMimeData(const TextStore &store, qsizetype from, qsizetype to);

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

    // True while the text is still read from the store.
    bool isLazy() const { return m_store != nullptr; }
    qsizetype from() const { return m_from; }
    qsizetype to() const { return m_to; }
    // The range moved by an edit before it.
    void shift(qsizetype by);
    // Takes the text out of the store now.
    void keep();
    // Lets go of the store without taking the text: for a drag whose text has
    // already been dropped and that nobody reads any more.
    void forget();

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    const QByteArray &utf8() const;

    mutable const TextStore *m_store;
    qsizetype m_from;
    qsizetype m_to;
    mutable QByteArray m_utf8;
};
