#include "data/logSave.h"

#include "field/TextField.h"
#include "field/TextWriter.h"

#include <QFileInfo>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

// Takes what the save encodes on the window's thread and writes it to the
// file on a thread of its own, then commits the file there.
class FileSink final : public QIODevice
{
public:
    explicit FileSink(QSaveFile &file)
        : m_file(file)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        m_thread = std::thread([this] { run(); });
    }
    ~FileSink() override
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Q_DISABLE_COPY_MOVE(FileSink)

    qint64 queued() const
    {
        const std::lock_guard lock(m_mutex);
        return m_queued;
    }
    // Commits the file once everything queued is written.
    void commitWhenWritten()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_commit = true;
        }
        m_wake.notify_all();
    }
    // Set once the file is committed or failed; the cause when it failed.
    bool isOver(QString &failure) const
    {
        const std::lock_guard lock(m_mutex);
        failure = m_failure;
        return m_over || !m_failure.isEmpty();
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_failure.isEmpty()) {
                setErrorString(m_failure);
                return -1;
            }
            m_queue.emplace_back(data, size);
            m_queued += size;
        }
        m_wake.notify_all();
        return size;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || m_commit || !m_queue.empty(); });
            if (m_stop)
                return;
            if (m_queue.empty()) { // and asked to commit
                lock.unlock();
                const bool committed = m_file.commit();
                lock.lock();
                if (!committed)
                    m_failure = failure();
                m_over = true;
                return;
            }
            const QByteArray bytes = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            qint64 offset = 0;
            while (offset < bytes.size()) {
                const qint64 written
                        = m_file.write(bytes.constData() + offset, bytes.size() - offset);
                if (written <= 0)
                    break;
                offset += written;
            }
            lock.lock();
            m_queued -= bytes.size();
            if (offset < bytes.size()) {
                m_failure = failure();
                m_queue.clear();
                return;
            }
        }
    }
    QString failure() const
    {
        const QString cause = m_file.errorString();
        return cause.isEmpty() || cause == QLatin1String("Unknown error")
                       ? QStringLiteral("the file took no more bytes")
                       : cause;
    }

    QSaveFile &m_file;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    qint64 m_queued = 0;
    bool m_commit = false;
    bool m_stop = false;
    bool m_over = false;
    QString m_failure;
};

LogSave::LogSave(TextField *log, const QString &path, QWidget *window)
    : QObject(window)
    , m_log(log)
    , m_window(window)
    , m_path(path)
{
    m_step.setSingleShot(true);
    connect(&m_step, &QTimer::timeout, this, &LogSave::step);
}

LogSave::~LogSave()
{
    m_writer.reset();
    m_sink.reset(); // waits for a write, or a commit, under way
    if (m_file && m_file->isOpen())
        m_file->cancelWriting();
    if (m_log)
        m_log->holdEdits(false);
    delete m_progress;
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
    m_sink = std::make_unique<FileSink>(*m_file);
    m_writer = std::make_unique<TextWriter>(m_log->model(), m_log->length(), *m_sink);
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
    // Its window is made now, with the save dialog just closed, rather than
    // in the middle of the save when it first shows.
    m_progress->winId();
    m_progress->setValue(0); // starts its clock
    connect(m_progress, &QProgressDialog::canceled, this, &LogSave::cancel);
    m_step.start(0);
    return true;
}

void LogSave::step()
{
    if (!m_running)
        return;
    try {
        QString failure;
        if (m_sink->isOver(failure)) {
            finish(failure.isEmpty() ? Saved : Failed, failure);
            return;
        }
        if (!m_log) {
            finish(Failed, tr("the receive log is gone"));
            return;
        }
        if (!m_committing) {
            QElapsedTimer slice;
            slice.start();
            while (!m_writer->atEnd() && m_sink->queued() < queuedBytes
                   && slice.elapsed() < sliceMs) {
                if (!m_writer->writeSlice(unitsPerWrite)) {
                    finish(Failed, m_writer->errorString());
                    return;
                }
            }
            const qsizetype end = m_writer->end();
            m_progress->setValue(end > 0 ? int(m_writer->done() * 1000 / end) : 1000);
            if (m_writer->atEnd()) {
                // Too late to cancel: the file may take the target's place at any moment.
                m_committing = true;
                m_progress->setLabelText(tr("Writing the last of it to disk…"));
                if (auto *button = m_progress->findChild<QPushButton *>())
                    button->setEnabled(false);
                m_sink->commitWhenWritten();
            }
        }
        // Encoding goes on at the next turn; a save that waits for the disk
        // looks again a little later.
        m_step.start(m_committing || m_sink->queued() >= queuedBytes ? waitMs : 0);
    } catch (const std::exception &failure) {
        finish(Failed, QString::fromLocal8Bit(failure.what()));
    }
}

void LogSave::cancel()
{
    if (m_running && !m_committing)
        finish(Cancelled, {});
}

void LogSave::finish(Outcome outcome, const QString &cause)
{
    if (!m_running)
        return;
    m_running = false;
    m_step.stop();
    m_writer.reset();
    m_sink.reset();
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
