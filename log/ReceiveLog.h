#pragma once

#include <QAction>
#include <QActionGroup>
#include <QByteArray>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QStringView>

#include "text/StreamDecoder.h"

class TextField;

// The receive log's own rules, over the field that shows it: what arrived is
// appended at the end, the caret goes there with nothing selected and the
// end is shown, and the log always holds a gapless beginning of it.
// Once an arrival is refused for want of room, every later one is too, until
// Clear. The field's context menu offers Save As (also Ctrl+S), which asks
// the window to save the log through saveAsRequested(), and Text Encoding,
// the one choice that reads arrivals and writes sends (UTF-8 at first; not
// kept after closing). Show Arrival Times (off at first) is read at each
// arrival; Capture to File asks the window through captureRequested(), and
// reads Stop Capture while showCapture() names a file.
class ReceiveLog final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceiveLog)

public:
    // Made a child of the field.
    explicit ReceiveLog(TextField *field);

    TextField *field() const { return m_field; }
    // Appends the arrival, with the caret at the end and nothing selected,
    // after `timeLine` (Show Arrival Times) on a line of its own when one is
    // given: after a CR LF when the log does not end with a line break. Both
    // go in, or neither: false, with the log unchanged, when it is full, and
    // from then on until clear().
    bool appendArrival(QStringView piece, QStringView timeLine = {});
    // The same for Latin-1 text (hex records, plain ASCII), stored as it is.
    bool appendArrival(QLatin1StringView piece, QStringView timeLine = {});
    // Empties the log and its undo history; arrivals are taken again, and
    // nothing held of a character is part of them.
    void clear();

    bool showsArrivalTimes() const { return m_showTimes.isChecked(); }
    // The capture under way, told in the menu and the log's description;
    // empty for none.
    void showCapture(const QString &path);
    // The log's description says TLS is on, beside the capture.
    void showTls(bool on);

    // The chosen encoding, as the toolkit names it ("UTF-8", "ISO-8859-1").
    QByteArray encoding() const { return m_encoding; }
    QString encodingLabel() const;
    bool isUtf8() const { return m_encoding == "UTF-8"; }
    // A new encoding starts a new decoder: what the last one held of a
    // character is no part of the next.
    void setEncoding(const QByteArray &name);
    // Reads arrivals in the chosen encoding, a stream at a time.
    StreamDecoder &decoder() { return m_decoder; }

Q_SIGNALS:
    void saveAsRequested();
    void captureRequested();

private:
    void describe();
    QString m_capturePath;
    bool m_tlsOn = false;

    template<typename View>
    bool appendView(View piece);
    template<typename View>
    bool appendTimed(View piece, QStringView timeLine);

    TextField *m_field;
    bool m_full = false;
    QAction m_saveAs;
    QAction m_showTimes;
    QAction m_capture;
    QMenu m_encodings;
    QActionGroup m_encodingChoice { this };
    QByteArray m_encoding = "UTF-8";
    StreamDecoder m_decoder { m_encoding };
};
