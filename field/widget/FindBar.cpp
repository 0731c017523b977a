#include "field/widget/FindBar.h"

#include "field/model/TextFinder.h"
#include "field/widget/TextField.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>
#include <exception>
#include <limits>

FindBar::FindBar(TextField *field)
    : QWidget(field)
    , m_field(field)
    , m_text(new QLineEdit(this))
    , m_matchCase(new QCheckBox(tr("Match case"), this))
    , m_status(new QLabel(this))
    , m_finder(std::make_unique<TextFinder>(field->store()))
{
    setObjectName(QStringLiteral("findBar"));
    m_text->setObjectName(QStringLiteral("findText"));
    m_matchCase->setObjectName(QStringLiteral("findMatchCase"));
    m_status->setObjectName(QStringLiteral("findStatus"));
    m_text->setAccessibleName(tr("Find"));
    m_text->setPlaceholderText(tr("Find"));
    // A pasted megabyte is searched like any other text.
    m_text->setMaxLength(std::numeric_limits<int>::max());
    setFocusProxy(m_text);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(TextField::margin, 2, TextField::margin, 2);
    row->addWidget(m_text, 1);
    row->addWidget(m_matchCase);
    row->addWidget(m_status);

    connect(m_finder.get(), &TextFinder::found, this, &FindBar::found);
    connect(m_finder.get(), &TextFinder::notFound, this, &FindBar::notFound);
    connect(m_finder.get(), &TextFinder::failed, this,
            [this](const QString &cause) { setStatus(tr("Search failed: %1").arg(cause)); });
    hide();
    m_field->addStrip(this);
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
    const qsizetype from = m_field->selectionStart();
    const qsizetype to = m_field->selectionEnd();
    if (to > from && to - from <= seedLimit) {
        const QString selected = m_field->textBetween(from, to);
        if (!selected.contains(u'\n') && !selected.contains(u'\r'))
            m_text->setText(selected);
    }
    if (isHidden()) {
        // Right after the field in the Tab order; Qt skips it while hidden.
        QWidget::setTabOrder(m_field, m_text);
        QWidget::setTabOrder(m_text, m_matchCase);
        show();
    }
    m_text->selectAll();
    m_text->setFocus(Qt::ShortcutFocusReason);
    m_field->viewport()->update();
}

void FindBar::dismiss()
{
    m_finder->cancel();
    setStatus(QString());
    hide();
    m_field->setFocus(Qt::OtherFocusReason);
    m_field->viewport()->update();
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
        m_finder->find(m_pattern, forward ? m_field->selectionEnd() : m_field->selectionStart(),
                       direction);
        m_field->viewport()->update();
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
    const QPalette &colors = m_field->palette();
    const QColor base = colors.color(QPalette::Base);
    const QColor mark = colors.color(QPalette::Highlight);
    found.format.setBackground(QColor::fromRgbF(base.redF() * 0.6f + mark.redF() * 0.4f,
                                                base.greenF() * 0.6f + mark.greenF() * 0.4f,
                                                base.blueF() * 0.6f + mark.blueF() * 0.4f));
    const qsizetype length = m_pattern->length();
    auto &stretches = found.stretches;
    forEachMatch(searchedText(m_field->store()), *m_pattern, shown.first - length + 1, shown.second,
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

QString FindBar::status() const
{
    return m_status->text();
}

void FindBar::keyPressEvent(QKeyEvent *event)
{
    // Whatever the find field and Match case leave comes here; none of it
    // goes on to the field, which would take it as typing.
    event->accept();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F3:
        return find(shift ? SearchDirection::Backward : SearchDirection::Forward);
    case Qt::Key_Escape:
        return dismiss();
    default:
        if (event->matches(QKeySequence::Find))
            dismiss();
    }
}

void FindBar::setStatus(const QString &status)
{
    m_status->setText(status);
    m_text->setAccessibleDescription(status);
}

void FindBar::found(qsizetype start, qsizetype length, bool wrapped)
{
    m_field->setSelection(start, start + length);
    if (wrapped)
        setStatus(m_direction == SearchDirection::Forward ? tr("Wrapped to the top")
                                                          : tr("Wrapped to the bottom"));
}

void FindBar::notFound()
{
    setStatus(tr("Not found"));
    QApplication::beep();
}
