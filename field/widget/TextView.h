#pragma once

#include "field/layout/TextLayout.h"
#include "field/model/TextDocument.h"
#include "field/widget/TextGeometry.h"

#include <QElapsedTimer>
#include <QFont>
#include <QMetaObject>
#include <QRect>
#include <QTimer>

class QAbstractScrollArea;
class QScrollBar;
class QWheelEvent;

// What a field shows: which visual lines are on screen, and where a position
// or a point is on it, in viewport coordinates. The top is a visual line
// (TextLayout::Line), so nothing ever needs the height of the whole text. The
// scroll bar counts visual lines by TextLayout's estimate; its ends are
// exact, and its steps move by lines that are laid out.
//
// It answers the control's questions (TextGeometry) and does what the
// control asks of the screen, as the field connects them.
//
// A change of the text, the size or the font leaves the view unsettled: the
// top that shows the end, the bar's scale, and a position the owner asked to
// bring into view soon (revealSoon()) are worked out at the next settle(),
// so that a flood of appends costs one of each per repaint, at most one
// every repaintIntervalMs. Every query about where text is on screen settles
// first, so none is const.
//
// Invariants, once settled:
// - m_top <= m_endTop, m_endTop is the top that shows the end at the bottom,
//   and m_top.line is a line of its paragraph;
// - m_topStart is where m_top's paragraph starts;
// - the bar runs from 0 (the first line) to m_barMaximum (m_endTop), and
//   unless it is being dragged its value is barValue(m_top).
class TextView final : public TextGeometry
{
    Q_DISABLE_COPY_MOVE(TextView)

public:
    using Line = TextLayout::Line;
    // Space between the text and the field's edges, as in Qt's own text fields.
    static constexpr int margin = 4;
    static constexpr int repaintIntervalMs = 20;

    // Shows the area's viewport and drives its vertical scroll bar.
    TextView(const TextStore &text, TextLayout &layout, QAbstractScrollArea &area);
    ~TextView();

    // --- what changes
    // The document's text changed: the top stays on the text it showed, and
    // the view is settled and repainted soon, within repaintIntervalMs of the
    // last time.
    void textChanged(const TextChange &change);
    void resized();
    void fontChanged();

    // --- moving
    void settle();
    // Settles for the paint under way, which shows the result, so a scroll
    // asks for no paint of its own (else every paint during a stream would
    // ask for the next). Says whether the top moved.
    bool settleToPaint();
    Line top() const { return m_top; }
    QRect viewportRect() const override;
    qsizetype pageLines() const override;
    void scrollTo(Line top);
    void scrollByLines(qsizetype lines);
    void ensureVisible(qsizetype position);
    // Brings the position into view at the next settle, soon: the last one
    // asked for wins, and it moves with the text meanwhile.
    void revealSoon(qsizetype position);
    void wheel(QWheelEvent *event);

    // --- where things are; a position off screen gets a rectangle off it
    QRect caretRect(qsizetype position) override;
    QRect characterRect(qsizetype position);
    qsizetype positionAt(QPoint point, QTextLine::CursorPosition at
                                       = QTextLine::CursorBetweenCharacters) override;
    QPoint onWholeLines(QPoint point) const override;
    // From the start of the top line shown to the end of the last one, in
    // positions of the text; cheap to ask again while the view stays as it is.
    std::pair<qsizetype, qsizetype> shownRange();

private:
    void followChange(qsizetype from, qsizetype removed, qsizetype inserted);
    // Brings the position into view at the next settle; -1 forgets it.
    void revealLater(qsizetype position);
    void refreshLater();
    qreal wrapWidth() const;
    void setTop(Line top);
    void refresh();
    int barValue(Line line);
    void syncScrollBar();
    void scrollBarAction(int action);
    void scrollBarMoved(int value);

    const TextStore &m_text;
    TextLayout &m_layout;
    QWidget &m_viewport;
    QScrollBar &m_bar;
    QMetaObject::Connection m_barActions;
    QMetaObject::Connection m_barMoves;

    Line m_top;
    qsizetype m_topStart = 0;
    Line m_endTop;
    bool m_endDirty = true;
    qsizetype m_revealAt = -1; // brought into view at the next settle; -1 when none
    int m_wheelRemainder = 0;

    double m_endRows = 0;     // rows before the top that shows the end
    double m_rowsPerStep = 1; // above 1 when the rows pass what an int holds
    int m_barMaximum = 0;
    bool m_syncingBar = false;
    bool m_painting = false; // settleToPaint() is under way

    QTimer m_refreshTimer;
    QElapsedTimer m_sinceRefresh;

    // What shownRange() last answered, and for which view.
    struct ShownKey
    {
        qsizetype length = -1;
        quint64 edits = 0;
        Line top;
        QSize viewport;
        int lineHeight = 0;
        qsizetype preedit = 0;
        QFont font;
        friend bool operator==(const ShownKey &, const ShownKey &) = default;
    };
    ShownKey m_shownKey;
    std::pair<qsizetype, qsizetype> m_shown;
};
