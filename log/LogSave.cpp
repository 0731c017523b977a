#include "log/LogSave.h"

#include "field/model/TextWriter.h"
#include "field/widget/TextField.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>

#include <exception>
#include <mutex>

// Encodes a snapshot into a file and commits it, as a BackgroundJob. Between
// slices it looks whether it was cancelled; once it commits, a cancel comes
// too late. Every member but the file is read under the mutex; the file is
// the job's while it runs, and the owner's before and after.
class SaveJob final
{
public:
    enum class State { Writing, Committing, Saved, Failed, Cancelled };

    SaveJob(const QString &path, TextSnapshot text)
        : m_file(path)
        , m_text(std::move(text))
    { }
    ~SaveJob()
    {
        if (m_file.isOpen())
            m_file.cancelWriting(); // without a commit the target stays as it was
    }
    Q_DISABLE_COPY_MOVE(SaveJob)

    bool open(QString &failure)
    {
        if (m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return true;
        failure = m_file.errorString();
        return false;
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

    void run(const BackgroundJob::Run &job)
    {
        try {
            TextWriter writer(m_text, m_file);
            QElapsedTimer sinceProgress;
            sinceProgress.start();
            while (!writer.atEnd()) {
                if (!writer.writeSlice(LogSave::unitsPerWrite))
                    return fail(writer.errorString());
                {
                    const std::lock_guard lock(m_mutex);
                    if (m_state == State::Cancelled)
                        return;
                    m_done = writer.done();
                }
                if (sinceProgress.hasExpired(LogSave::progressEveryMs)) {
                    sinceProgress.start();
                    job.progress();
                }
            }
            {
                const std::lock_guard lock(m_mutex);
                if (m_state == State::Cancelled)
                    return;
                m_state = State::Committing;
            }
            job.progress();
            if (!m_file.commit())
                return fail(failureOf(m_file));
            const std::lock_guard lock(m_mutex);
            m_state = State::Saved;
        } catch (const std::exception &failure) {
            fail(QString::fromLocal8Bit(failure.what()));
        }
    }

private:
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
    connect(&m_job, &BackgroundJob::progressed, this, &LogSave::update);
    connect(&m_job, &BackgroundJob::finished, this, &LogSave::update);
}

LogSave::~LogSave()
{
    // Waits for a slice, or a commit, under way.
    if (m_save)
        m_save->cancel();
    m_job.cancel();
    m_save.reset();
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
    auto save = std::make_unique<SaveJob>(m_path, m_log->store().snapshot());
    if (!save->open(m_error))
        return false;
    m_save = std::move(save);
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
    // The thread starts once the event loop turns, so a cancel before that
    // always comes in time.
    QTimer::singleShot(0, this, [this] {
        if (m_running)
            m_job.start([save = m_save.get()](const BackgroundJob::Run &job) { save->run(job); });
    });
    return true;
}

void LogSave::update()
{
    if (!m_running)
        return;
    qsizetype done = 0;
    QString failure;
    switch (m_save->state(done, failure)) {
    case SaveJob::State::Saved:
        return finish(Saved, {});
    case SaveJob::State::Failed:
        return finish(Failed, failure);
    case SaveJob::State::Cancelled:
        return finish(Cancelled, {});
    case SaveJob::State::Committing:
        if (!m_committing) {
            m_committing = true;
            m_progress->setValue(1000);
            m_progress->setLabelText(tr("Writing the last of it to disk…"));
            if (auto *button = m_progress->findChild<QPushButton *>())
                button->setEnabled(false);
        }
        return;
    case SaveJob::State::Writing: {
        const qsizetype length = m_save->length();
        m_progress->setValue(length > 0 ? int(done * 1000 / length) : 0);
        return;
    }
    }
}

void LogSave::cancel()
{
    if (m_running && m_save->cancel())
        finish(Cancelled, {});
}

void LogSave::finish(Outcome outcome, const QString &cause)
{
    if (!m_running)
        return;
    m_running = false;
    m_job.cancel(); // the job has ended, or ends at its next slice
    m_save.reset();
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    m_error = cause;
    Q_EMIT finished(outcome, cause);
}
