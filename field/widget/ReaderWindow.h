#pragma once

#include "field/model/TextDocument.h"
#include "field/model/TextStore.h"

#include <QString>
#include <QTimer>

#include <algorithm>

// What screen readers see of a field and hear from it.
//
// They see a window of the text at most `size` long around the caret, so
// that no call of theirs costs the size of a log of a thousand million
// characters; their offsets count from start(). A text that fits is seen
// whole, from 0. The window moves in steps of a quarter of it, and only when
// the caret leaves it, so that their offsets stay put as long as they can.
//
// They hear of the user's edits and of the caret the control moves at once,
// and of text put in at the end by others (arrivals) at most once every
// announceIntervalMs, at most maxAnnounced characters each time. The notices go out in the field's
// name, and Qt drops them when no screen reader listens.
//
// Invariants:
// - m_length is what screen readers were last told the window holds, never
//   more than `size`;
// - arrivals from m_unannouncedFrom on (-1: none) have not been told yet, and
//   stay out of the window until they are, unless the caret goes into them.
class ReaderWindow final
{
    Q_DISABLE_COPY_MOVE(ReaderWindow)

public:
    static constexpr qsizetype size = qsizetype(256) * 1024;
    static constexpr int announceIntervalMs = 100;

    ReaderWindow(QObject &field, const TextStore &text);

    // A text as screen readers get it: the bus cannot carry a NUL inside a
    // string and cuts it there, so each NUL reads as U+2400, one unit for one.
    static QString readable(QString text);

    qsizetype start() const { return std::min(m_start, m_text.length()); }
    qsizetype length() const { return std::min(m_text.length() - start(), size); }

    // The document's text changed.
    void textChanged(const TextChange &change);
    // The control put the caret there (TextControl::cursorPositionChanged).
    void caretMoved(qsizetype cursor, qsizetype anchor);

private:
    // Text arrived from `from` to the end.
    void grew(qsizetype from);
    // The user's edit replaced `removed` (at most its beginning) at `at` with
    // `inserted` units.
    void edited(qsizetype at, const QString &removed, qsizetype inserted);
    void cleared();
    void announceArrivals();
    // Moves the window to hold the caret, telling screen readers how their
    // text changed; arrivals not yet told stay out of it unless they are
    // being told.
    void follow(bool arrivals);

    QObject &m_field;
    const TextStore &m_text;
    qsizetype m_start = 0;
    qsizetype m_length = 0;
    qsizetype m_caret = 0; // as last told, carried along by arrivals before it
    qsizetype m_unannouncedFrom = -1;
    QTimer m_announceTimer;
};
