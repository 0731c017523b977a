#include "data/logSave.h"

#include "field/model/TextWriter.h"
#include "field/widget/TextField.h"

#include <QFileInfo>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>

#include <exception>
#include <mutex>
#include <thread>

// Encodes a snapshot into a file and commits it, on a thread of its own.
// Between slices it looks whether it was cancelled; once it commits, a cancel
// comes too late. Every member but the file is read under the mutex.
class SaveThread final
{
public:
    enum class State { Writing, Committing, Saved, Failed, Cancelled };

    SaveThread(const QString &path, TextSnapshot text)
        : m_file(path)
        , m_text(std::move(text))
    { }
    ~SaveThread()
    {
        cancel();
        if (m_thread.joinable())
            m_thread.join();
        if (m_file.isOpen())
            m_file.cancelWriting(); // without a commit the target stays as it was
    }
    Q_DISABLE_COPY_MOVE(SaveThread)

    bool open(QString &failure)
    {
        if (m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return true;
        failure = m_file.errorString();
        return false;
    }
    void start()
    {
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
    }
    // False when it is too late: the file is being put in place or is there.
    bool cancel()
    {
        const std::lock_guard lock(m_mutex);
        if (m_state != State::Writing)
            return m_state == State::Cancelled;
        m_state = State::Cancelled;
        return true;
    }
    State state(qsizetype &done, QString &failure) const
    {
        const std::lock_guard lock(m_mutex);
        done = m_done;
        failure = m_failure;
        return m_state;
    }
    qsizetype length() const { return m_text.length(); }

private:
    void run()
    {
        try {
            TextWriter writer(m_text, m_file);
            while (!writer.atEnd()) {
                if (!writer.writeSlice(LogSave::unitsPerWrite))
                    return fail(writer.errorString());
                const std::lock_guard lock(m_mutex);
                if (m_state == State::Cancelled)
                    return;
                m_done = writer.done();
            }
            {
                const std::lock_guard lock(m_mutex);
                if (m_state == State::Cancelled)
                    return;
                m_state = State::Committing;
            }
            if (!m_file.commit())
                return fail(failureOf(m_file));
            const std::lock_guard lock(m_mutex);
            m_state = State::Saved;
        } catch (const std::exception &failure) {
            fail(QString::fromLocal8Bit(failure.what()));
        }
    }
    void fail(const QString &cause)
    {
        const std::lock_guard lock(m_mutex);
        if (m_state == State::Cancelled)
            return;
        m_state = State::Failed;
        m_failure = cause;
    }
    static QString failureOf(const QSaveFile &file)
    {
        const QString cause = file.errorString();
        return cause.isEmpty() || cause == QLatin1String("Unknown error")
                       ? QStringLiteral("the file took no more bytes")
                       : cause;
    }

    QSaveFile m_file;
    const TextSnapshot m_text;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    State m_state = State::Writing;
    qsizetype m_done = 0;
    QString m_failure;
};

LogSave::LogSave(TextField *log, const QString &path, QWidget *window)
    : QObject(window)
    , m_log(log)
    , m_window(window)
    , m_path(path)
{
    connect(&m_poll, &QTimer::timeout, this, &LogSave::poll);
}

LogSave::~LogSave()
{
    m_thread.reset(); // waits for a slice, or a commit, under way
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
    auto thread = std::make_unique<SaveThread>(m_path, m_log->model().snapshot());
    if (!thread->open(m_error))
        return false;
    m_thread = std::move(thread);
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
    // The first look starts the thread, so a cancel before the event loop
    // turns always comes in time.
    m_poll.start(0);
    return true;
}

void LogSave::poll()
{
    if (!m_running)
        return;
    m_poll.setInterval(pollMs);
    m_thread->start();
    qsizetype done = 0;
    QString failure;
    switch (m_thread->state(done, failure)) {
    case SaveThread::State::Saved:
        return finish(Saved, {});
    case SaveThread::State::Failed:
        return finish(Failed, failure);
    case SaveThread::State::Cancelled:
        return finish(Cancelled, {});
    case SaveThread::State::Committing:
        if (!m_committing) {
            m_committing = true;
            m_progress->setValue(1000);
            m_progress->setLabelText(tr("Writing the last of it to disk…"));
            if (auto *button = m_progress->findChild<QPushButton *>())
                button->setEnabled(false);
        }
        return;
    case SaveThread::State::Writing: {
        const qsizetype length = m_thread->length();
        m_progress->setValue(length > 0 ? int(done * 1000 / length) : 0);
        return;
    }
    }
}

void LogSave::cancel()
{
    if (m_running && m_thread->cancel())
        finish(Cancelled, {});
}

void LogSave::finish(Outcome outcome, const QString &cause)
{
    if (!m_running)
        return;
    m_running = false;
    m_poll.stop();
    m_thread.reset();
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    m_error = cause;
    Q_EMIT finished(outcome, cause);
}
