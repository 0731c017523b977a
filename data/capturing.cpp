#include "ui/frmMain.h"

#include "capture/CaptureFile.h"
#include "log/ReceiveLog.h"
#include "net/FileSend.h"
#include "net/Winsock.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <utility>

namespace {

QString captureFailedText(const QString &cause)
{
    return QStringLiteral("Capture failed: %1").arg(cause);
}

} // namespace

void frmMain::txtReceive_Capture()
{
    if (capture) {
        stopCapture();
        return;
    }
    // The folder is remembered while the program runs; nothing is stored.
    if (lastCaptureFolder.isEmpty())
        lastCaptureFolder = QDir::homePath();
    const QString pcapng = QStringLiteral("pcapng (*.pcapng)");
    const QString raw = QStringLiteral("Raw bytes received (*.bin *)");
    QString chosen = pcapng;
    QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Capture to File"), lastCaptureFolder,
            pcapng + QStringLiteral(";;") + raw, &chosen, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    lastCaptureFolder = QFileInfo(path).absolutePath();
    const CaptureFile::Format format
            = chosen == raw ? CaptureFile::RawReceived : CaptureFile::Pcapng;
    if (format == CaptureFile::Pcapng && QFileInfo(path).suffix().isEmpty()
        && !QFileInfo::exists(path))
        path += QStringLiteral(".pcapng");

    auto *started = new CaptureFile(path, format, this);
    if (!started->start()) {
        setPanelText(1, captureFailedText(started->errorString()));
        delete started;
        return;
    }
    capture = started;
    connect(capture, &CaptureFile::failed, this, [this](const QString &cause) {
        guarded("Capture", [this, cause] { stopCapture(cause); });
    });
    // Straight to the writer's queue: the capture stays apart from the log.
    connect(Winsock, &::Winsock::TrafficEvent, capture,
            [this, started](const WinsockTraffic &traffic) {
                guarded("Capture", [started, &traffic] { started->add(traffic); });
            });
    receiveLog->showCapture(QDir::toNativeSeparators(path));
}

void frmMain::stopCapture(const QString &failure)
{
    // What waits is written and the file closed before a stop returns; a
    // failed capture has stopped writing, and goes once its report is out.
    CaptureFile *ended = std::exchange(capture, nullptr);
    if (failure.isEmpty())
        delete ended;
    else
        ended->deleteLater();
    receiveLog->showCapture(QString());
    if (!failure.isEmpty())
        setPanelText(1, captureFailedText(failure));
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // Nothing that passes after the close is asked for goes into the file,
    // however long the rest of the way out takes.
    if (capture)
        stopCapture();
    fileSend->stop(QStringLiteral("the window was closed"));
    QWidget::closeEvent(event);
}
