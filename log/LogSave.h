#pragma once

#include "worker/BackgroundJob.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QProgressDialog;
class QWidget;
class SaveJob;
class TextField;

// Saves a receive log to a file as UTF-8, exactly as the log reads back: the
// log as it was when the save began. It writes a snapshot of the log, so the
// user edits, undoes and clears as at any other time and arrivals go on,
// none of it part of the file. The text goes to a temporary file beside the
// target, which takes the target's place only once it is complete, so a
// failure or a cancel leaves the target as it was.
//
// A thread of the save's own (a BackgroundJob) encodes the snapshot, writes
// it, makes the file durable and puts it in place, as the system may hold a
// write up for a tenth of a second and the disk take seconds over the last of
// a large file; it tells the window's thread of its progress at most every
// progressEveryMs, and at once when it puts the file in place and when it
// ends. A save that runs longer than progressAfterMs shows its progress with
// Cancel.
class LogSave final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogSave)

public:
    enum Outcome { Saved, Failed, Cancelled };
    Q_ENUM(Outcome)

    static constexpr int progressAfterMs = 500;
    static constexpr int progressEveryMs = 20;
    static constexpr qsizetype unitsPerWrite = qsizetype(256) << 10;

    // The progress dialog belongs to `window`, which also owns the save.
    LogSave(TextField *log, const QString &path, QWidget *window);
    // A save still under way is dropped, and the target stays as it was.
    ~LogSave() override;

    // Opens the temporary file and starts writing once the event loop turns;
    // false, with the cause in errorString(), when it cannot.
    bool start();
    // Ends a save that is still writing: no file is left and the target stays
    // as it was. Once every byte is written it is too late and nothing happens.
    void cancel();
    QString errorString() const { return m_error; }

Q_SIGNALS:
    // Once, when the save is over; the cause says why it failed.
    void finished(LogSave::Outcome outcome, const QString &cause);

private:
    void update();
    void finish(Outcome outcome, const QString &cause);

    QPointer<TextField> m_log;
    QWidget *m_window;
    QString m_path;
    std::unique_ptr<SaveJob> m_save;
    BackgroundJob m_job; // runs m_save; after it, so that it is joined first
    QPointer<QProgressDialog> m_progress;
    bool m_committing = false;
    bool m_running = false;
    QString m_error;
};
