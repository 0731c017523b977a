#include "data/ReceiveLog.h"

#include "field/widget/TextField.h"

ReceiveLog::ReceiveLog(TextField *field)
    : QObject(field)
    , m_field(field)
    , m_saveAs(QStringLiteral("Save &As…"))
{
    m_saveAs.setShortcuts(QKeySequence::Save);
    connect(&m_saveAs, &QAction::triggered, this, &ReceiveLog::saveAsRequested);
    field->addMenuAction(&m_saveAs);
}

bool ReceiveLog::appendArrival(QStringView piece)
{
    return appendView(piece);
}

bool ReceiveLog::appendArrival(QLatin1StringView piece)
{
    return appendView(piece);
}

template<typename View>
bool ReceiveLog::appendView(View piece)
{
    if (m_full)
        return false;
    // A later piece that would fit must not read on across the gap.
    m_full = !m_field->append(piece);
    return !m_full;
}

void ReceiveLog::clear()
{
    m_field->clear();
    m_full = false;
}
