#pragma once

#include "field/model/TextStore.h"

#include <QFont>
#include <QString>
#include <QTextLayout>

#include <map>
#include <memory>

// The text of a TextStore broken into visual lines at a width and in a font:
// what a paragraph looks like on screen, line by line. The field's view asks
// it where lines start and end, where a position is and what is at an x.
//
// Only what is asked for is laid out: one QTextLayout per paragraph, made on
// the first question about it and kept until the paragraph, the width, the
// font or the preedit it shows changes, maxLayouts at most. Every query may
// lay out, so none is const.
//
// A line longer than a paragraph wraps as if it were laid out whole: the
// layout of a paragraph that goes on with a line starts where the visual line
// holding the cut starts (its chain start), reads past its own cut, and shows
// its lines up to the one that holds the next cut. The chain restarts every
// wrapWindow paragraphs of a line at a break opportunity, so reaching any
// paragraph lays out at most that many.
//
// Invariants:
// - a kept layout (m_layouts) and a kept chain start (m_carries) are what
//   laying out again would give for the text, width, font and preedit now;
// - every visual line is lineHeight() high, so the view counts in lines;
// - a layout that holds the preedit is the one that shows its position, and
//   is kept under m_preeditParagraph; no other holds it;
// - m_paragraphCount is the text's count of paragraphs as of the last change,
//   and m_heardEdits the text's edit count then; every answer checks that it
//   is still the text's (heardEveryChange(), asserted in debug builds).
//
// It learns of each change through textChanged(), setWidth(), setFont() and
// setPreedit(), and decides itself what each makes stale: an append, the
// last two paragraphs; any other edit, everything from the paragraph before
// it on; a new width or font, everything; a new preedit or caret, the layout
// that held the preedit and the two that may show it now.
class TextLayout final
{
    Q_DISABLE_COPY_MOVE(TextLayout)

public:
    // A visual line: a paragraph and a line of its layout.
    struct Line
    {
        qsizetype paragraph = 0;
        qsizetype line = 0;
        friend bool operator==(const Line &, const Line &) = default;
        friend bool operator<(const Line &a, const Line &b)
        {
            return a.paragraph != b.paragraph ? a.paragraph < b.paragraph : a.line < b.line;
        }
    };
    struct Laid
    {
        TextStore::Paragraph paragraph;
        qsizetype start = 0; // the text position of the layout's first unit
        qsizetype shown = 1; // its first lines, the ones this paragraph shows
        // Where the next paragraph's layout starts when the line goes on; -1 when
        // a break ends this paragraph or the text does.
        qsizetype nextStart = -1;
        QTextLayout layout;
    };

    explicit TextLayout(const TextStore &text);
    ~TextLayout();

    // --- what changes
    // The text changed at `from`: `removed` units went, `inserted` came.
    void textChanged(qsizetype from, qsizetype removed, qsizetype inserted);
    // True while the layout has heard of every change of the text.
    bool heardEveryChange() const { return m_heardEdits == m_text.edits(); }
    // True when the width was not the one the layouts were made for.
    bool setWidth(qreal width);
    void setFont(const QFont &font);
    // The input method's composed text, shown at `at` (the caret) without
    // being part of the text; told again whenever the caret moves.
    void setPreedit(qsizetype at, const QString &preedit);

    qreal width() const { return m_width; }
    const QFont &font() const { return m_font; }
    int lineHeight() const { return m_lineHeight; }
    const QString &preedit() const { return m_preedit; }

    // --- lines
    const Laid &laid(qsizetype paragraph);
    qsizetype lineCount(qsizetype paragraph) { return laid(paragraph).shown; }
    Line moved(Line from, qsizetype lines);
    // Lines from `from` down to `to`, counting no further than `limit`.
    qsizetype linesBetween(Line from, Line to, qsizetype limit);
    Line lineOf(qsizetype position);
    // x counts from the left edge of the text, as xOf() does.
    qsizetype positionOnLine(Line line, qreal x,
                             QTextLine::CursorPosition at = QTextLine::CursorBetweenCharacters);
    qreal xOf(qsizetype position);
    // The paragraph whose layout shows the position.
    qsizetype shownParagraph(qsizetype position);
    // Where the positions a layout shows end; the caret may stand there too
    // when a break or the text's end follows.
    static qsizetype shownEnd(const Laid &laid);
    // The top line of a view `pageLines` high that shows the end of the text
    // at its bottom.
    Line lastTop(qsizetype pageLines);

    // --- rows for the scroll bar
    // Visual lines before a line, laid out or not: an estimate from its
    // paragraph's number and position, spread evenly over the paragraph's
    // laid-out lines.
    double rowOf(Line line);
    Line lineAtRow(double row);

private:
    // The chain of layout starts restarts every wrapWindow paragraphs of a line,
    // at a break opportunity, so that reaching any paragraph lays out at most
    // that many; lookahead is the text a layout reads past its cut first.
    static constexpr qsizetype wrapWindow = 8;
    static constexpr qsizetype lookahead = 1024;

    qsizetype layoutStart(qsizetype paragraph);
    bool restartsChain(qsizetype paragraph) const;
    qsizetype restartAt(qsizetype paragraph) const;
    void wrap(Laid &laid, qsizetype paragraph);
    void layOut(Laid &laid, qsizetype end, int preeditColumn = -1) const;
    double rowsBefore(qsizetype paragraph) const;
    // Drops the layouts and chain starts of `paragraph` and those after it.
    void dropFrom(qsizetype paragraph);

    const TextStore &m_text;
    qsizetype m_paragraphCount; // as of the last change it heard of
    quint64 m_heardEdits;       // the text's edit count then
    QFont m_font;
    qreal m_width = 1;
    int m_lineHeight = 1;
    double m_charsPerLine = 1; // the rows estimate's scale
    std::map<qsizetype, std::unique_ptr<Laid>> m_layouts;
    std::map<qsizetype, qsizetype> m_carries; // layout starts inside lines
    QString m_preedit;
    qsizetype m_preeditAt = 0;
    qsizetype m_preeditParagraph = -1;
};
