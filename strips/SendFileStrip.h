#pragma once

#include "field/widget/FieldStrip.h"

#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// "Send File…" in the send box: asks for a file and sends it at once, then
// shows its name, a progress bar of the bytes sent against its size, the rate
// and the time left, and Stop; once it ends, "Sent 1,048,576,000 bytes in
// 1.3 s" or what stopped it, and Send sends the same file again. Size and
// Every pace a file sent over UDP: one datagram of Size bytes (1 to 65,507)
// every Every ms (0: each as soon as the socket takes it).
//
// Invariants: running is the button reading Stop, and then Size and Every are
// read-only and were read at the start; the bar and the figures are redrawn
// at most four times a second, whatever the rate.
class SendFileStrip final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SendFileStrip)

public:
    // Starts the file: a null string when it started, else the refusal, as
    // status panel 1 then says.
    using Start = std::function<QString(const QString &path, qint64 pieceBytes, double everyMs)>;
    using Stop = std::function<void()>;

    static constexpr qint64 maxPieceBytes = 65507;
    static constexpr double maxEveryMs = 86'400'000;

    SendFileStrip(TextField *sendBox, Start start, Stop stop);

    // Asks for a file, then opens and starts it.
    void open() override;
    // Sends `path`, shown as chosen.
    void sendFile(const QString &path);
    bool isRunning() const { return m_running; }
    // What the send has come to.
    void showProgress(qint64 sent, qint64 size);
    // The send ended: a null failure when all of it went out.
    void showEnd(qint64 sent, qint64 size, qint64 elapsedMs, const QString &failure);

protected:
    void stop() override;
    void activate() override;

private:
    void lock(bool running);
    void redraw();

    Start m_start;
    Stop m_stopSend;
    QLabel *m_name;
    QProgressBar *m_bar;
    QPushButton *m_sendStop;
    QLineEdit *m_size;
    QLineEdit *m_every;
    QString m_path;
    QString m_folder; // for this run only
    bool m_running = false;
    qint64 m_sent = 0;
    qint64 m_total = 0;
    QTimer m_redraw;
    QElapsedTimer m_clock;
    // (ms since start, bytes sent) over the last two seconds: the rate.
    std::deque<std::pair<qint64, qint64>> m_samples;
};
