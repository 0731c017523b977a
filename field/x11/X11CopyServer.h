#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

class TextFieldMimeData;

// Serves the fields' large copies to other programs on X11 itself, because the
// toolkit asks a copy for all of its bytes at once, on the GUI thread, when a
// request comes in: a copy of a full log would hold the window for seconds.
// A drag is worse: the toolkit writes its whole text in one request, and one
// larger than the X server takes closes the program's connection to it.
//
// While a large TextFieldMimeData holds the clipboard or the primary
// selection, or is the newest drag, requests for its text come here:
// UTF8_STRING, text/plain and text/plain;charset=utf-8 are sent from the UTF-8
// its Utf8Maker makes off the GUI thread, each step as soon as its bytes are
// there; STRING and TEXT are Latin-1 made from the snapshot a step at a time,
// '?' for every unit Latin-1 lacks, as the toolkit makes them. A reply larger
// than one request goes in INCR steps as large as the X server takes. The
// toolkit still owns the selections and answers everything else (TARGETS,
// TIMESTAMP, MULTIPLE, small copies), and other platforms go through it.
//
// Invariants: runs on the GUI thread, on the toolkit's connection. A transfer
// is known by its requestor window and property, holds the UTF-8 it sends
// (Utf8Maker::startReading) until it ends, and writes a step only after the
// requestor deleted the one before; one whose requestor has not deleted a step
// for stallLimitMs is dropped. Every step leaves the window at once: a
// transfer waiting for bytes waits for Utf8Maker::progressed().
class X11CopyServer final : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(X11CopyServer)

public:
    // As the toolkit waits for a requestor.
    static constexpr int stallLimitMs = 5000;

    // Starts serving, once per application, when it runs on X11.
    static void install();
    ~X11CopyServer() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    struct Transfer;
    struct Request;

    X11CopyServer(void *connection, QObject *parent);
    bool selectionRequested(const Request &asked);
    bool propertyChanged(std::uint32_t window, std::uint32_t property, bool deleted);
    // Moves a transfer on as far as it can go now.
    void advance(Transfer &transfer);
    void begin(Transfer &transfer);
    void sendStep(Transfer &transfer);
    void notify(const Request &request, bool served);
    void end(Transfer *transfer);
    void dropStalled();
    Transfer *find(std::uint32_t window, std::uint32_t property);

    void *m_connection; // xcb_connection_t, kept out of this header
    struct Atoms;
    std::unique_ptr<Atoms> m_atoms;
    qsizetype m_stepBytes = 0;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
    QTimer m_stallCheck;
};
