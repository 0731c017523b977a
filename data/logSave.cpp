#include "data/logSave.h"

#include "field/TextField.h"
#include "field/TextWriter.h"

#include <QFileInfo>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QThread>

#include <exception>

#if defined(Q_OS_LINUX)
#include <fcntl.h>
#endif

LogSave::LogSave(TextField *log, const QString &path, QWidget *window)
    : QObject(window)
    , m_log(log)
    , m_window(window)
    , m_path(path)
{
    m_step.setSingleShot(true);
    m_step.setInterval(0);
    connect(&m_step, &QTimer::timeout, this, &LogSave::step);
}

LogSave::~LogSave()
{
    if (m_commit)
        m_commit->wait();
    if (m_log)
        m_log->holdEdits(false);
    delete m_progress;
    if (m_file && m_file->isOpen())
        m_file->cancelWriting();
}

bool LogSave::start()
{
    // A device or a pipe would not be replaced but swapped for a plain file.
    const QFileInfo target(m_path);
    if (target.exists() && !target.isFile() && !target.isDir()) {
        m_error = tr("%1 is not a regular file").arg(m_path);
        return false;
    }
    m_file = std::make_unique<QSaveFile>(m_path);
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_error = m_file->errorString();
        m_file.reset();
        return false;
    }
    m_writer = std::make_unique<TextWriter>(m_log->model(), m_log->length(), *m_file);
    m_log->holdEdits(true);
    m_running = true;

    m_progress = new QProgressDialog(tr("Saving the receive log to %1").arg(target.fileName()),
                                     tr("Cancel"), 0, 1000, m_window);
    m_progress->setObjectName(QStringLiteral("saveProgress"));
    m_progress->setWindowTitle(tr("Save As"));
    m_progress->setWindowModality(Qt::NonModal);
    m_progress->setAutoReset(false);
    m_progress->setAutoClose(false);
    m_progress->setMinimumDuration(progressAfterMs);
    m_progress->setValue(0); // starts its clock
    connect(m_progress, &QProgressDialog::canceled, this, &LogSave::cancel);
    m_step.start();
    return true;
}

void LogSave::step()
{
    if (!m_running || !m_writer)
        return;
    try {
        if (!m_log) {
            finish(Failed, tr("the receive log is gone"));
            return;
        }
        QElapsedTimer slice;
        slice.start();
        while (!m_writer->atEnd() && slice.elapsed() < sliceMs) {
            if (!m_writer->writeSlice(unitsPerWrite)) {
                finish(Failed, m_writer->errorString());
                return;
            }
        }
#if defined(Q_OS_LINUX)
        // Starts the disk on what is written without waiting for it, so that
        // making the file durable at the end has little left to do.
        const qint64 written = m_writer->bytesWritten();
        if (written > m_pushedTo) {
            ::sync_file_range(m_file->handle(), m_pushedTo, written - m_pushedTo,
                              SYNC_FILE_RANGE_WRITE);
            m_pushedTo = written;
        }
#endif
        const qsizetype end = m_writer->end();
        m_progress->setValue(end > 0 ? int(m_writer->done() * 1000 / end) : 1000);
        if (m_writer->atEnd())
            commit();
        else
            m_step.start();
    } catch (const std::exception &failure) {
        finish(Failed, QString::fromLocal8Bit(failure.what()));
    }
}

void LogSave::commit()
{
    // Too late to cancel: the last step may replace the target at any moment.
    m_progress->setLabelText(tr("Writing the last of it to disk…"));
    if (auto *button = m_progress->findChild<QPushButton *>())
        button->setEnabled(false);
    m_commit.reset(QThread::create([this, file = m_file.get()] { m_committed = file->commit(); }));
    connect(m_commit.get(), &QThread::finished, this, &LogSave::committed);
    m_commit->start();
}

void LogSave::committed()
{
    m_commit->wait();
    m_commit.reset();
    if (m_committed)
        finish(Saved, {});
    else
        finish(Failed, m_file->errorString());
}

void LogSave::cancel()
{
    if (m_running && !m_commit)
        finish(Cancelled, {});
}

void LogSave::finish(Outcome outcome, const QString &cause)
{
    if (!m_running)
        return;
    m_running = false;
    m_step.stop();
    m_writer.reset();
    // Without a commit the temporary file goes and the target stays.
    if (m_file && m_file->isOpen())
        m_file->cancelWriting();
    m_file.reset();
    if (m_log)
        m_log->holdEdits(false);
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    m_error = cause;
    Q_EMIT finished(outcome, cause);
}
