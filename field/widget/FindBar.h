#pragma once

#include "field/model/TextSearch.h"
#include "field/widget/FieldStrip.h"

#include <QList>
#include <QTextCharFormat>
#include <QTextLayout>

#include <memory>
#include <utility>
#include <vector>

class QCheckBox;
class QKeyEvent;
class QLineEdit;
class TextField;
class TextFinder;

// The find bar of a multi-line field: a row drawn inside the field along its
// bottom edge, with the text to find ("Find"), Match case and what the last
// search came to. Enter and F3 select the next match in the field, with Shift
// the previous one; Escape or Ctrl+F gives the focus back to the field.
//
// Invariants: besides the strip's, while hidden the field highlights nothing
// for it and no search of it runs. m_pattern is what the last search looked
// for, null before the first.
class FindBar final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FindBar)

public:
    // The bar of `field`, whose child it is; hidden until opened.
    explicit FindBar(TextField *field);
    ~FindBar() override;

    // The keys the field passes on: Ctrl+F opens the bar, F3 and Shift+F3 find
    // again once a search was made. True when the key was taken.
    bool takeFieldKey(QKeyEvent *event);
    // Shows the bar with the focus in the find field; a short selection on
    // one line becomes the text to find.
    void open() override;
    // Searches the field for the find field's text from its selection.
    void find(SearchDirection direction);

    // The stretches [start, end) of the field's live text that the matches of
    // the last search cover, overlapping ones joined, and how they look: what
    // the field highlights while the bar is open.
    struct Highlights
    {
        std::vector<std::pair<qsizetype, qsizetype>> stretches;
        QTextCharFormat format;
        // Adds what lies in [start, end) to the format ranges of a layout of it.
        void addTo(QList<QTextLayout::FormatRange> &ranges, qsizetype start, qsizetype end) const;
    };
    // Those of the matches within `shown`: the field's shownRange().
    Highlights highlights(std::pair<qsizetype, qsizetype> shown) const;

    // Most a selection may hold to become the text to find when the bar opens.
    static constexpr qsizetype seedLimit = 256;

protected:
    // Closing stops the search and clears what it came to; the field keeps
    // its selection.
    void stop() override;
    void activate() override { find(SearchDirection::Forward); }
    // F3 as Enter, Shift for either turns back; Ctrl+F closes as Escape.
    void keyPressEvent(QKeyEvent *event) override;

private:
    void found(qsizetype start, qsizetype length, bool wrapped);
    void notFound();

    QLineEdit *m_text;
    QCheckBox *m_matchCase;
    std::unique_ptr<TextFinder> m_finder;
    std::shared_ptr<const TextPattern> m_pattern;
    QString m_patternText; // what m_pattern was made of
    SearchDirection m_direction = SearchDirection::Forward;
};
