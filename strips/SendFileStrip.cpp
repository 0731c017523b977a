#include "strips/SendFileStrip.h"

#include "strips/rates.h"
#include "text/groupedNumber.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace {
constexpr int redrawMs = 250;
constexpr qint64 rateSpanMs = 2000;
// The bar counts in thousandths: its range is an int, a file may be larger.
constexpr int barSteps = 1000;
} // namespace

SendFileStrip::SendFileStrip(TextField *sendBox, Start start, Stop stop)
    : FieldStrip(sendBox, QStringLiteral("Send File…"), "sendFileStrip")
    , m_start(std::move(start))
    , m_stopSend(std::move(stop))
    , m_name(new QLabel(this))
    , m_bar(new QProgressBar(this))
    , m_sendStop(new QPushButton(QStringLiteral("Send"), this))
    , m_size(digitsField(QStringLiteral("Size"), QStringLiteral("1024"), 5))
    , m_every(new QLineEdit(QStringLiteral("0"), this))
{
    m_name->setObjectName(QStringLiteral("sendFileName"));
    m_bar->setObjectName(QStringLiteral("sendFileProgress"));
    m_sendStop->setObjectName(QStringLiteral("sendFileSendStop"));
    m_size->setObjectName(QStringLiteral("sendFileSize"));
    m_every->setObjectName(QStringLiteral("sendFileEvery"));
    m_bar->setAccessibleName(QStringLiteral("Bytes sent"));
    m_bar->setRange(0, barSteps);
    m_bar->setValue(0);
    m_size->setAccessibleName(QStringLiteral("UDP datagram size, bytes"));
    m_every->setAccessibleName(QStringLiteral("UDP datagram every, ms"));
    m_every->setPlaceholderText(QStringLiteral("Every"));
    // Fractions of a millisecond reach rates a whole one cannot (0.1: 10,000 a second).
    m_every->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[0-9]{0,8}(\\.[0-9]{0,3})?")), m_every));
    m_every->setFixedWidth(m_every->fontMetrics().horizontalAdvance(u'0') * 10);
    m_sendStop->setAutoDefault(false);
    m_name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    addControl(m_sendStop);
    addControl(m_name);
    addControl(m_bar, {}, 1);
    startRow();
    addControl(m_size, QStringLiteral("UDP: Size"));
    addControl(m_every, QStringLiteral("bytes  Every"));
    addControl(new QLabel(QStringLiteral("ms"), this));
    m_redraw.setInterval(redrawMs);
    connect(&m_redraw, &QTimer::timeout, this, &SendFileStrip::redraw);
    connect(m_sendStop, &QPushButton::clicked, this, &SendFileStrip::activate);
}

void SendFileStrip::open()
{
    if (m_running) {
        FieldStrip::open();
        setStatus(QStringLiteral("A file is being sent: stop it first"));
        return;
    }
    if (m_folder.isEmpty())
        m_folder = QDir::homePath();
    const QString path
            = QFileDialog::getOpenFileName(this, QStringLiteral("Send File"), m_folder, QString(),
                                           nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    m_folder = QFileInfo(path).absolutePath();
    FieldStrip::open();
    sendFile(path);
}

void SendFileStrip::sendFile(const QString &path)
{
    if (m_running)
        return;
    m_path = path;
    const QString name = QFileInfo(path).fileName();
    m_name->setText(name);
    m_name->setToolTip(QDir::toNativeSeparators(path));
    m_bar->setValue(0);
    const qint64 size = m_size->text().toLongLong();
    const double every = m_every->text().toDouble();
    if (size < 1 || size > maxPieceBytes) {
        setStatus(QStringLiteral("Size must be 1 to 65507 bytes"));
        return;
    }
    if (every > maxEveryMs) {
        setStatus(QStringLiteral("Every must be 0 to 86400000 ms"));
        return;
    }
    m_sent = m_total = 0;
    m_samples.assign(1, { 0, 0 });
    m_clock.start();
    // The send may end within the call (an empty file over TCP does not).
    m_running = true;
    lock(true);
    setStatus(QStringLiteral("Sending %1").arg(name));
    const QString refused = m_start(path, size, every);
    if (!refused.isNull()) {
        m_running = false;
        lock(false);
        setStatus(refused);
        return;
    }
    m_redraw.start();
}

void SendFileStrip::showProgress(qint64 sent, qint64 size)
{
    m_sent = sent;
    m_total = size;
}

void SendFileStrip::showEnd(qint64 sent, qint64 size, qint64 elapsedMs, const QString &failure)
{
    m_running = false;
    m_redraw.stop();
    lock(false);
    m_sent = sent;
    m_total = size;
    m_bar->setValue(size > 0 ? int(double(sent) / double(size) * barSteps) : barSteps);
    if (failure.isNull())
        setStatus(QStringLiteral("Sent %1 bytes in %2")
                          .arg(groupedNumber(quint64(sent)), secondsText(elapsedMs)));
    else
        setStatus(
                QStringLiteral("Stopped after %1 of %2 bytes: %3")
                        .arg(groupedNumber(quint64(sent)), groupedNumber(quint64(size)), failure));
}

void SendFileStrip::stop()
{
    if (m_running)
        m_stopSend();
}

void SendFileStrip::activate()
{
    if (m_running)
        return stop();
    if (m_path.isEmpty())
        return open();
    sendFile(m_path);
}

void SendFileStrip::lock(bool running)
{
    m_size->setReadOnly(running);
    m_every->setReadOnly(running);
    m_sendStop->setText(running ? QStringLiteral("Stop") : QStringLiteral("Send"));
}

void SendFileStrip::redraw()
{
    const qint64 now = m_clock.elapsed();
    m_samples.emplace_back(now, m_sent);
    while (m_samples.size() > 2 && now - m_samples.front().first > rateSpanMs)
        m_samples.pop_front();
    const auto &[thenMs, thenSent] = m_samples.front();
    const double rate = now > thenMs ? double(m_sent - thenSent) * 1000 / double(now - thenMs) : 0;
    m_bar->setValue(m_total > 0 ? int(double(m_sent) / double(m_total) * barSteps) : 0);
    // The rate and the time left first: a narrow strip elides the end.
    const QString text
            = QStringLiteral("%1, %2, %3 of %4 bytes")
                      .arg(rateText(rate),
                           timeLeftText(rate > 0 ? double(m_total - m_sent) / rate : -1),
                           groupedNumber(quint64(m_sent)), groupedNumber(quint64(m_total)));
    setStatus(text);
}
