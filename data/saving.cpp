#include "ui/frmMain.h"

#include "field/widget/TextField.h"
#include "log/LogSave.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>

namespace {

QString saveFailedText(const QString &cause)
{
    return QStringLiteral("Save failed: %1").arg(cause);
}

} // namespace

void frmMain::txtReceive_SaveAs()
{
    // One save at a time; the running one shows its own progress and Cancel.
    if (logSave) {
        QApplication::beep();
        return;
    }
    // The folder is remembered while the program runs; nothing is stored.
    if (lastSaveFolder.isEmpty())
        lastSaveFolder = QDir::homePath();
    const QString path
            = QFileDialog::getSaveFileName(this, QStringLiteral("Save As"), lastSaveFolder,
                                           QString(), nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    lastSaveFolder = QFileInfo(path).absolutePath();

    auto *save = new LogSave(txtReceive, path, this);
    if (!save->start()) {
        setPanelText(1, saveFailedText(save->errorString()));
        delete save;
        return;
    }
    logSave = save;
    connect(save, &LogSave::finished, this,
            [this, save](LogSave::Outcome outcome, const QString &cause) {
                logSave = nullptr;
                save->deleteLater();
                if (outcome == LogSave::Failed)
                    setPanelText(1, saveFailedText(cause));
            });
}
