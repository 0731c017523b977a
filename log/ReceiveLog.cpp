#include "log/ReceiveLog.h"

#include "field/widget/TextField.h"
#include "text/textEncoding.h"

#include <QStringList>

ReceiveLog::ReceiveLog(TextField *field)
    : QObject(field)
    , m_field(field)
    , m_saveAs(QStringLiteral("Save &As…"))
    , m_showTimes(QStringLiteral("Show Arrival Times"))
    , m_capture(QStringLiteral("Capture to File…"))
    , m_encodings(QStringLiteral("Text Encoding"))
{
    m_saveAs.setShortcuts(QKeySequence::Save);
    connect(&m_saveAs, &QAction::triggered, this, &ReceiveLog::saveAsRequested);
    field->addMenuAction(&m_saveAs);

    for (const TextEncoding &encoding : availableEncodings()) {
        QAction *choice = m_encodings.addAction(encoding.label);
        choice->setCheckable(true);
        choice->setChecked(encoding.name == m_encoding);
        choice->setData(encoding.name);
        m_encodingChoice.addAction(choice);
    }
    connect(&m_encodingChoice, &QActionGroup::triggered, this,
            [this](QAction *choice) { setEncoding(choice->data().toByteArray()); });
    field->addMenuAction(m_encodings.menuAction());

    m_showTimes.setCheckable(true);
    field->addMenuAction(&m_showTimes);
    connect(&m_capture, &QAction::triggered, this, &ReceiveLog::captureRequested);
    field->addMenuAction(&m_capture);
}

void ReceiveLog::showCapture(const QString &path)
{
    m_capture.setText(path.isEmpty() ? QStringLiteral("Capture to File…")
                                     : QStringLiteral("Stop Capture"));
    m_capturePath = path;
    describe();
}

void ReceiveLog::showTls(bool on)
{
    m_tlsOn = on;
    describe();
}

void ReceiveLog::describe()
{
    QStringList said;
    if (m_tlsOn)
        said << QStringLiteral("TLS on");
    if (!m_capturePath.isEmpty())
        said << QStringLiteral("Capturing to %1").arg(m_capturePath);
    m_field->setAccessibleDescription(said.join(QStringLiteral(", ")));
}

QString ReceiveLog::encodingLabel() const
{
    for (const QAction *choice : m_encodingChoice.actions()) {
        if (choice->data().toByteArray() == m_encoding)
            return choice->text();
    }
    return QString::fromLatin1(m_encoding);
}

void ReceiveLog::setEncoding(const QByteArray &name)
{
    if (name == m_encoding)
        return;
    m_encoding = name;
    m_decoder = StreamDecoder(m_encoding);
    for (QAction *choice : m_encodingChoice.actions())
        choice->setChecked(choice->data().toByteArray() == m_encoding);
}

bool ReceiveLog::appendArrival(QStringView piece, QStringView timeLine)
{
    return appendTimed(piece, timeLine);
}

bool ReceiveLog::appendArrival(QLatin1StringView piece, QStringView timeLine)
{
    return appendTimed(piece, timeLine);
}

template<typename View>
bool ReceiveLog::appendTimed(View piece, QStringView timeLine)
{
    if (timeLine.isEmpty())
        return appendView(piece);
    // One append, so that a full log never ends with a time whose arrival
    // it refused.
    const qsizetype length = m_field->length();
    const QString last = length > 0 ? m_field->textBetween(length - 1, length) : QString();
    QString timed;
    timed.reserve(2 + timeLine.size() + piece.size());
    if (!last.isEmpty() && last != u"\n" && last != u"\r")
        timed += QStringLiteral("\r\n");
    timed += timeLine;
    timed += piece;
    return appendView(QStringView(timed));
}

template<typename View>
bool ReceiveLog::appendView(View piece)
{
    if (m_full)
        return false;
    // A later piece that would fit must not read on across the gap.
    m_full = !m_field->append(piece);
    if (m_full)
        return false;
    // The user watches what arrives: the caret goes to the end, dropping a
    // selection, and the end comes into view by the next repaint. A caret
    // already there went along with the piece, which is all a stream costs.
    const qsizetype end = m_field->length();
    if (m_field->cursorPosition() != end || m_field->hasSelection())
        m_field->setSelection(end, end);
    m_field->ensureCursorVisible();
    return true;
}

void ReceiveLog::clear()
{
    m_field->clear();
    m_decoder.reset();
    m_full = false;
}
