#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

class QProgressDialog;
class QSaveFile;
class FileSink;
class QWidget;
class TextField;
class TextWriter;

// Saves a receive log to a file as UTF-8, exactly as the log reads back: the
// log as it was when the save began; what arrives later is not part of it.
// The text goes to a temporary file beside the target, which takes the
// target's place only once it is complete, so a failure or a cancel leaves the
// target as it was.
//
// The text is encoded a slice of about sliceMs per turn of the event loop, so
// the window keeps answering and arrivals keep coming in; a thread of the
// save's own writes the slices to the file, makes it durable and puts it in
// place, as the system may hold a write up for a tenth of a second and the
// disk take seconds over the last of a large file. At most queuedBytes wait
// for that thread. The user's edits to the log are held meanwhile, as they
// would move the text being read. A save that runs longer than
// progressAfterMs shows its progress with Cancel.
class LogSave final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogSave)

public:
    enum Outcome { Saved, Failed, Cancelled };
    Q_ENUM(Outcome)

    static constexpr int sliceMs = 8;
    static constexpr int progressAfterMs = 500;
    static constexpr qsizetype unitsPerWrite = qsizetype(256) << 10;
    static constexpr qint64 queuedBytes = qint64(64) << 20;
    // How often a save that waits for the disk looks again.
    static constexpr int waitMs = 5;

    // The progress dialog belongs to `window`, which also owns the save.
    LogSave(TextField *log, const QString &path, QWidget *window);
    // A save still under way is dropped, and the target stays as it was.
    ~LogSave() override;

    // Opens the temporary file and starts writing; false, with the cause in
    // errorString(), when it cannot.
    bool start();
    // Ends a save that is still writing: no file is left and the target stays
    // as it was. Once every byte is written it is too late and nothing happens.
    void cancel();
    QString errorString() const { return m_error; }

Q_SIGNALS:
    // Once, when the save is over; the cause says why it failed.
    void finished(LogSave::Outcome outcome, const QString &cause);

private:
    void step();
    void finish(Outcome outcome, const QString &cause);

    QPointer<TextField> m_log;
    QWidget *m_window;
    QString m_path;
    std::unique_ptr<QSaveFile> m_file;
    std::unique_ptr<FileSink> m_sink;
    std::unique_ptr<TextWriter> m_writer;
    QPointer<QProgressDialog> m_progress;
    QTimer m_step;

    bool m_committing = false;
    bool m_running = false;
    QString m_error;
};
