#include "field/layout/TextCaret.h"
#include "field/layout/TextLayout.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r';
}

// The characters that make words of their own, as Qt's own text fields take them.
bool isWordSeparator(QChar c)
{
    return QStringView(u".,?!@#$:;-<>[](){}=/+%&^*'\"`~|\\").contains(c);
}

bool isBlank(QChar c)
{
    return c.isSpace() && !isLineBreak(c);
}

bool isWordLetter(QChar c)
{
    return !c.isSpace() && !isWordSeparator(c);
}

// The first position from `position` on whose unit fails the test, reading
// the text a block at a time; `limit` at most.
template<typename Test>
qsizetype skipForward(const TextStore &text, qsizetype position, qsizetype limit, Test test)
{
    for (qsizetype block = 256; position < limit; block = std::min(block * 2, qsizetype(1) << 16)) {
        const qsizetype end = std::min(limit, position + block);
        const QString units = text.text(position, end);
        for (const QChar c : units) {
            if (!test(c))
                return position;
            ++position;
        }
    }
    return limit;
}

// The same backwards: the first position, going back from `position`, whose
// unit before it fails the test; `limit` at least.
template<typename Test>
qsizetype skipBackward(const TextStore &text, qsizetype position, qsizetype limit, Test test)
{
    for (qsizetype block = 256; position > limit; block = std::min(block * 2, qsizetype(1) << 16)) {
        const qsizetype from = std::max(limit, position - block);
        const QString units = text.text(from, position);
        for (qsizetype i = units.size(); i > 0; --i) {
            if (!test(units[i - 1]))
                return position;
            --position;
        }
    }
    return limit;
}

qsizetype nextWord(const TextStore &text, qsizetype caret)
{
    // A break is a word of its own, a CR LF one.
    if (isLineBreak(text.at(caret)))
        return caret + 1 + (splitsUnit(text, caret + 1) ? 1 : 0);
    // As Qt's fields do: over a run of separators or a word, then the blanks.
    const qsizetype limit = std::min(text.length(), caret + maxWordScan);
    const qsizetype word = isWordSeparator(text.at(caret))
                                   ? skipForward(text, caret, limit, isWordSeparator)
                                   : skipForward(text, caret, limit, isWordLetter);
    return skipForward(text, word, limit, isBlank);
}

qsizetype previousWord(const TextStore &text, qsizetype caret)
{
    if (caret > 0 && isLineBreak(text.at(caret - 1)))
        return caret - 1 - (splitsUnit(text, caret - 1) ? 1 : 0);
    const qsizetype limit = std::max<qsizetype>(0, caret - maxWordScan);
    const qsizetype blanks = skipBackward(text, caret, limit, isBlank);
    if (blanks > limit && isWordSeparator(text.at(blanks - 1)))
        return skipBackward(text, blanks, limit, isWordSeparator);
    return skipBackward(text, blanks, limit, isWordLetter);
}

} // namespace

bool splitsUnit(const TextStore &text, qsizetype position)
{
    if (position <= 0)
        return false;
    const QChar after = text.at(position);
    const QChar before = text.at(position - 1);
    return (after == u'\n' && before == u'\r')
           || (after.isLowSurrogate() && before.isHighSurrogate());
}

qsizetype snapped(const TextStore &text, qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, text.length());
    return splitsUnit(text, position) ? position - 1 : position;
}

qsizetype caretTarget(TextLayout &layout, const TextStore &text, CaretMotion motion,
                      qsizetype caret, qreal x, qsizetype pageLines)
{
    using Laid = TextLayout::Laid;
    const qsizetype paragraph = layout.shownParagraph(caret);
    const Laid &at = layout.laid(paragraph);
    const TextStore::Paragraph info = at.paragraph;
    const qsizetype shownEnd = TextLayout::shownEnd(at);
    const auto column = int(std::clamp<qsizetype>(caret, at.start, shownEnd) - at.start);
    // The layout reads past the positions it shows when the line goes on.
    const bool atLineEnd = at.nextStart < 0 && caret >= shownEnd;
    switch (motion) {
    case CaretMotion::NextChar:
        return atLineEnd ? info.start + info.length + info.breakLength
                         : at.start + at.layout.nextCursorPosition(column);
    case CaretMotion::PreviousChar: {
        if (column > 0)
            return at.start + at.layout.previousCursorPosition(column);
        if (paragraph == 0)
            return 0;
        const Laid &before = layout.laid(paragraph - 1);
        if (before.nextStart < 0) // a break ends it: step over the break whole
            return before.paragraph.start + before.paragraph.length;
        return before.start + before.layout.previousCursorPosition(int(caret - before.start));
    }
    case CaretMotion::NextWord:
        return nextWord(text, caret);
    case CaretMotion::PreviousWord:
        return previousWord(text, caret);
    case CaretMotion::StartOfLine:
        return at.start + at.layout.lineForTextPosition(column).textStart();
    case CaretMotion::EndOfLine: {
        const QTextLine line = at.layout.lineForTextPosition(column);
        qsizetype end = line.textStart() + line.textLength();
        // A wrapped line ends in the space it broke at; the caret goes before it.
        if (line.lineNumber() + 1 < at.layout.lineCount() && end > line.textStart()
            && at.layout.text().at(end - 1).isSpace())
            --end;
        return std::min(at.start + end, shownEnd);
    }
    case CaretMotion::NextLine:
    case CaretMotion::PreviousLine:
    case CaretMotion::NextPage:
    case CaretMotion::PreviousPage: {
        const qsizetype lines = motion == CaretMotion::NextLine       ? 1
                                : motion == CaretMotion::PreviousLine ? -1
                                : motion == CaretMotion::NextPage     ? pageLines
                                                                      : -pageLines;
        const TextLayout::Line from = layout.lineOf(caret);
        const TextLayout::Line to = layout.moved(from, lines);
        if (to == from)
            return lines > 0 ? text.length() : 0;
        return layout.positionOnLine(to, x);
    }
    case CaretMotion::StartOfText:
        return 0;
    case CaretMotion::EndOfText:
        return text.length();
    }
    return caret;
}

std::pair<qsizetype, qsizetype> wordAround(const TextStore &text, qsizetype position)
{
    const TextStore::Paragraph info = text.paragraph(text.paragraphAt(position));
    if (info.length == 0)
        return { position, position };
    position = std::clamp<qsizetype>(position, info.start, info.start + info.length - 1);
    // A word may go on across cuts: read more on a side until the word ends
    // inside what was read. Breaks always end words, so lines do not matter.
    const qsizetype low = std::max<qsizetype>(0, position - maxWordScan);
    const qsizetype high = std::min(text.length(), position + maxWordScan);
    qsizetype reach = 256;
    qsizetype from = std::max(low, position - reach);
    qsizetype to = std::min(high, position + reach);
    for (;;) {
        const QString units = text.text(from, to);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Word, units);
        const qsizetype column = position - from;
        finder.setPosition(column);
        const qsizetype start = finder.isAtBoundary() ? column : finder.toPreviousBoundary();
        finder.setPosition(column);
        const qsizetype end = finder.toNextBoundary();
        const bool moreBefore = start <= 0 && from > low;
        const bool moreAfter = (end < 0 || end >= to - from) && to < high;
        if (!moreBefore && !moreAfter)
            return { from + std::max<qsizetype>(start, 0), end < 0 ? to : from + end };
        reach *= 2;
        if (moreBefore)
            from = std::max(low, position - reach);
        if (moreAfter)
            to = std::min(high, position + reach);
    }
}

std::pair<qsizetype, qsizetype> lineAround(const TextStore &text, qsizetype position)
{
    // A line longer than a paragraph goes on after each cut.
    qsizetype first = text.paragraphAt(position);
    qsizetype last = first;
    while (first > 0 && text.breakLengthAfter(first - 1) == 0)
        --first;
    while (last + 1 < text.paragraphCount() && text.breakLengthAfter(last) == 0)
        ++last;
    const TextStore::Paragraph end = text.paragraph(last);
    return { text.paragraphStart(first), end.start + end.length };
}
