#pragma once

#include "field/model/EditHistory.h"

#include <QAbstractScrollArea>
#include <QList>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

class FindBar;
class QAction;
class QInputMethodQueryEvent;
class QPainter;
class TextControl;
class TextDocument;
class TextStore;
struct TextStoreLimits;

// An ordinary editable multi-line field over a text that may grow at the end
// to a thousand million characters: the receive log and the send box.
//
// The widget holds the parts, kept out of this header, and connects them:
// - TextDocument, the text and the history of the user's edits; every change
//   of the text goes through it, and it announces each once;
// - TextLayout, the text broken into visual lines, only where asked;
// - TextView, which lines are on screen and where things are on it;
// - TextControl, what the user does: keys, mouse, input method, clipboard,
//   drag and drop, undo; it keeps the caret and the selection, asks the view
//   where things are (TextGeometry) and signals what it wants of the view
//   and the screen readers' window, which the widget connects;
// - ReaderWindow, what screen readers see and hear;
// - FindBar, made by the first Ctrl+F: the find bar drawn inside the field,
//   whose matches on screen the widget highlights.
// The layout, the view, the screen readers' window and the control hear of
// each change from the document, in that order; the widget hands events to
// the control and paints what the parts say.
//
// An append costs the size of the piece: it stores the piece, carries a caret
// at the end along and asks for one refresh. Under a flood the view scrolls
// (ensureCursorVisible()) and repaints at most once every repaintIntervalMs,
// and screen readers hear of arrivals at most once every announceIntervalMs.
// Appends leave the view unsettled until then; whatever asks about the screen
// settles it first, so those queries are not const.
//
// A clear or a large delete answers at once; the document gives the storage
// it dropped back to the system a slice a turn of the event loop, so the
// window keeps answering meanwhile.
class TextField final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextField)

public:
    // As TextView, TextDocument and ReaderWindow have them (checked where
    // they meet), for the field's users and tests.
    static constexpr int repaintIntervalMs = 20;
    static constexpr int announceIntervalMs = 100;
    static constexpr int margin = 4;
    static constexpr qsizetype readerWindow = qsizetype(256) * 1024;

    explicit TextField(QWidget *parent = nullptr);
    explicit TextField(const TextStoreLimits &limits, QWidget *parent = nullptr);
    ~TextField() override;

    const TextDocument &document() const;
    const TextStore &store() const;
    qsizetype length() const;
    QString textBetween(qsizetype from, qsizetype to) const;
    QString text() const;

    // Appends the piece at the end, not as the user's edit: like any text put
    // in before them, it carries the caret and the anchor along when they
    // stand at the end, and leaves them where they are otherwise. False, with
    // the text unchanged, when it would pass the capacity.
    bool append(QStringView piece);
    // The same for Latin-1 text (hex records, plain ASCII), stored as it is.
    bool append(QLatin1StringView piece);
    // Empties the text and its undo history; the caret goes to 0.
    void clear();

    // --- the caret, the selection and the user's edits (TextControl)
    qsizetype cursorPosition() const;
    qsizetype anchorPosition() const;
    qsizetype selectionStart() const;
    qsizetype selectionEnd() const;
    bool hasSelection() const { return cursorPosition() != anchorPosition(); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    // Brings the caret into view by the next repaint, not at once, so that a
    // flood of calls costs one layout per repaint.
    void ensureCursorVisible();
    // Replaces [from, to) with the text as the user's own edit and puts the
    // caret after it; false, with nothing changed, when it would not fit. The
    // edit is a step of its own for undo unless it goes on a run of typing,
    // Backspaces or Deletes.
    bool replaceText(qsizetype from, qsizetype to, QStringView text,
                     EditHistory::Run run = EditHistory::Run::None);
    bool canUndo() const;
    bool canRedo() const;

    // --- the screen (TextView), in viewport coordinates
    // A position off screen gets a rectangle off it.
    QRect cursorRect();
    QRect characterRect(qsizetype position);
    // The position between characters nearest the point.
    qsizetype positionAt(QPoint viewportPoint);
    // From the start of the top line shown to the end of the last one, in
    // positions of the text; cheap to ask again while the view stays as it is.
    std::pair<qsizetype, qsizetype> shownRange();

    // --- screen readers (ReaderWindow): a window of the text around the caret
    qsizetype readerStart() const;
    qsizetype readerLength() const;

    // --- read-only: the caret moves, text is selected and copied, but the
    // user edits nothing (TextControl); replaceText(), append() and clear()
    // still do
    bool isReadOnly() const;
    void setReadOnly(bool readOnly);

    // --- what the owner adds to the field
    // The owner's actions, offered at the end of the context menu; their
    // shortcuts work while the field has focus. The owner keeps them.
    void addMenuAction(QAction *action);
    // Painted over the text, last, in viewport coordinates: a mark of the
    // owner's that stays put while the text scrolls under it. Changes no text.
    using Overlay = std::function<void(QPainter &painter, const QRect &viewport)>;
    void setOverlay(Overlay overlay);

    // A strip inside the field along its bottom edge, below the text: the find
    // bar or one of the owner's, a child of the field. Each strip not hidden
    // has a row of its own height, the first added lowest, and the text keeps
    // to the room above them all; they are placed again whenever one is shown
    // or hidden and whenever the field is resized.
    void addStrip(QWidget *strip);

public Q_SLOTS:
    void selectAll();
    void copy();
    void cut();
    void paste();
    void undo();
    void redo();

protected:
    // Keys, focus and the input method go to the control here, the mouse,
    // the wheel and drag and drop in viewportEvent().
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void placeStrips();
    struct Parts;
    // Answers the input method from the control, in the field's coordinates.
    void answerInputMethod(QInputMethodQueryEvent *query);

    std::unique_ptr<Parts> d;
    Overlay m_overlay;
    FindBar *m_findBar = nullptr; // a child, made by the first Ctrl+F
    QList<QPointer<QWidget>> m_strips;
};
