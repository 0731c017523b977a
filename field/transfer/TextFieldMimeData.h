#pragma once

#include "field/model/TextSnapshot.h"

#include <QMimeData>

#include <memory>

class TextStore;
class Utf8Maker;

// Text a field gives to the clipboard, the primary selection or a drag: a
// snapshot of a range of its store, taken at once however long the range and
// left as it was by whatever the field does next. A large copy has its UTF-8
// made at once on a thread of its own (Utf8Maker), so that the bytes are ready
// when another program asks for them; on X11, X11CopyServer serves such
// requests itself, so the window goes on answering while one waits for them.
//
// At most one copy's UTF-8 is kept: a large copy of other text releases the
// one before, and a copy whose UTF-8 was released makes it again when asked.
//
// Invariants: the snapshot never changes; a small copy never has a maker; a
// large copy's maker, while it has one, makes the UTF-8 of its snapshot.
class TextFieldMimeData final : public QMimeData
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextFieldMimeData)

public:
    // Below this many units the UTF-8 is made when it is asked for, in about
    // a millisecond.
    static constexpr qsizetype madeAheadUnits = qsizetype(1) << 20;

    TextFieldMimeData(const TextStore &store, qsizetype from, qsizetype to);
    ~TextFieldMimeData() override;

    QStringList formats() const override;
    bool hasFormat(const QString &mimeType) const override;

    const TextSnapshot &text() const { return m_text; }
    // Later copies have higher numbers.
    quint64 serial() const { return m_serial; }
    bool isLarge() const { return m_text.length() >= madeAheadUnits; }
    // The maker of a large copy's UTF-8, started again if it was released;
    // null for a small copy.
    std::shared_ptr<Utf8Maker> utf8Maker() const;

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override;

private:
    const TextSnapshot m_text;
    const quint64 m_serial;
    mutable std::shared_ptr<Utf8Maker> m_maker;
};
