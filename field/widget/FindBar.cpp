#include "field/widget/FindBar.h"

#include "field/model/TextFinder.h"
#include "field/widget/TextField.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>
#include <exception>
#include <limits>

FindBar::FindBar(TextField *field)
    : FieldStrip(field, QString(), "findBar", "findStatus")
    , m_text(new QLineEdit(this))
    , m_matchCase(new QCheckBox(tr("Match case"), this))
    , m_finder(std::make_unique<TextFinder>(field->store()))
{
    m_text->setObjectName(QStringLiteral("findText"));
    m_matchCase->setObjectName(QStringLiteral("findMatchCase"));
    m_text->setAccessibleName(tr("Find"));
    m_text->setPlaceholderText(tr("Find"));
    // A pasted megabyte is searched like any other text.
    m_text->setMaxLength(std::numeric_limits<int>::max());
    setFocusProxy(m_text);
    addControl(m_text, {}, 1);
    addControl(m_matchCase);
    fitStatusToText();
    connect(m_finder.get(), &TextFinder::found, this, &FindBar::found);
    connect(m_finder.get(), &TextFinder::notFound, this, &FindBar::notFound);
    connect(m_finder.get(), &TextFinder::failed, this,
            [this](const QString &cause) { setStatus(tr("Search failed: %1").arg(cause)); });
}

FindBar::~FindBar() = default;

bool FindBar::takeFieldKey(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Find)) {
        open();
        return true;
    }
    if (event->key() == Qt::Key_F3 && m_pattern) {
        find(event->modifiers() & Qt::ShiftModifier ? SearchDirection::Backward
                                                    : SearchDirection::Forward);
        return true;
    }
    return false;
}

void FindBar::open()
{
    const qsizetype from = field()->selectionStart();
    const qsizetype to = field()->selectionEnd();
    if (to > from && to - from <= seedLimit) {
        const QString selected = field()->textBetween(from, to);
        if (!selected.contains(u'\n') && !selected.contains(u'\r'))
            m_text->setText(selected);
    }
    m_text->selectAll();
    FieldStrip::open();
    field()->viewport()->update();
}

void FindBar::stop()
{
    m_finder->cancel();
    setStatus(QString());
    // Repainted once hidden, without the matches.
    field()->viewport()->update();
}

void FindBar::find(SearchDirection direction)
{
    // Nothing may escape into the event loop: a failure is said in the bar.
    try {
        const QString text = m_text->text();
        if (text.isEmpty())
            return;
        const Qt::CaseSensitivity cs
                = m_matchCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
        if (!m_pattern || m_pattern->caseSensitivity() != cs || m_patternText != text) {
            m_pattern = std::make_shared<const TextPattern>(text, cs);
            m_patternText = text;
        }
        m_direction = direction;
        setStatus(QString());
        const bool forward = direction == SearchDirection::Forward;
        m_finder->find(m_pattern, forward ? field()->selectionEnd() : field()->selectionStart(),
                       direction);
        field()->viewport()->update();
    } catch (const std::exception &failure) {
        setStatus(tr("Search failed: %1").arg(QString::fromLocal8Bit(failure.what())));
    }
}

FindBar::Highlights FindBar::highlights(std::pair<qsizetype, qsizetype> shown) const
{
    Highlights found;
    if (isHidden() || !m_pattern)
        return found;
    // A second colour beside the selection's, from the same palette, so the
    // current match (the selection) still stands out.
    const QPalette &colors = field()->palette();
    const QColor base = colors.color(QPalette::Base);
    const QColor mark = colors.color(QPalette::Highlight);
    found.format.setBackground(QColor::fromRgbF(base.redF() * 0.6f + mark.redF() * 0.4f,
                                                base.greenF() * 0.6f + mark.greenF() * 0.4f,
                                                base.blueF() * 0.6f + mark.blueF() * 0.4f));
    const qsizetype length = m_pattern->length();
    auto &stretches = found.stretches;
    forEachMatch(searchedText(field()->store()), *m_pattern, shown.first - length + 1, shown.second,
                 [&stretches, length](qsizetype start) {
                     if (!stretches.empty() && start <= stretches.back().second)
                         stretches.back().second = start + length;
                     else
                         stretches.emplace_back(start, start + length);
                     return true;
                 });
    return found;
}

void FindBar::Highlights::addTo(QList<QTextLayout::FormatRange> &ranges, qsizetype start,
                                qsizetype end) const
{
    auto stretch = std::lower_bound(stretches.begin(), stretches.end(), start,
                                    [](const auto &s, qsizetype at) { return s.second <= at; });
    for (; stretch != stretches.end() && stretch->first < end; ++stretch) {
        const qsizetype from = std::max(stretch->first, start);
        const qsizetype to = std::min(stretch->second, end);
        ranges.append({ int(from - start), int(to - from), format });
    }
}

void FindBar::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (key == Qt::Key_F3 || (shift && (key == Qt::Key_Return || key == Qt::Key_Enter))) {
        event->accept();
        return find(shift ? SearchDirection::Backward : SearchDirection::Forward);
    }
    if (event->matches(QKeySequence::Find)) {
        event->accept();
        return dismiss();
    }
    FieldStrip::keyPressEvent(event);
}

void FindBar::found(qsizetype start, qsizetype length, bool wrapped)
{
    field()->setSelection(start, start + length);
    if (wrapped)
        setStatus(m_direction == SearchDirection::Forward ? tr("Wrapped to the top")
                                                          : tr("Wrapped to the bottom"));
}

void FindBar::notFound()
{
    setStatus(tr("Not found"));
    QApplication::beep();
}
