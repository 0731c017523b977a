#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include "net/Winsock.h"
#include "text/textEncoding.h"

#include <chrono>
#include <functional>
#include <optional>

class TextField;
class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;
class CaptureFile;
class LogSave;
class ReceiveLog;
class RepeatStrip;
class ReplyStrip;
class TlsStrip;
class FileSend;
class SendFileStrip;
class TrafficStrip;
class StatusBar;

// The one window: every control, the refresh timer and the socket endpoint.
// The handlers are defined next to their subsystem: link/ (start-up, choices,
// Apply, TCP roles) and data/ (sending, receiving). Nothing but construction
// is public: the window is reached as users reach it, through its controls,
// each found by its object name.
class frmMain final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmMain)

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    // A capture ends where the close is asked for (data/capturing.cpp).
    void closeEvent(QCloseEvent *event) override;

private:
    // Start-up, UDP selection and local host information (link/startup.cpp)
    void Form_Load();
    void optUDP_Click();
    void RefreshLocalHostInfo();
    void LocalHostInfoRefreshTimer_Timer();

    // TCP and role selection (link/selection.cpp)
    void optTCP_Click();
    void optServer_Click();
    void optClient_Click();

    // UDP peer settings (link/udpSettings.cpp)
    void cmdApply_Click();
    // Remote Host IP's tooltip and description name the group joined.
    void Winsock_GroupChanged();

    // TCP roles (link/tcpServer.cpp, link/tcpClient.cpp)
    void TCP_Server();
    void TCP_Client();
    void Winsock_ConnectionRequest(int requestId);
    void Winsock_Connect();
    void Winsock_Close();
    // Panel 1 counts what a connection left behind lost: "Closed the
    // connection; 3,715,525 bytes were not sent".
    void Winsock_Reset(qint64 unsentBytes, bool atLeast);

    // Data exchange (data/sending.cpp, data/receiving.cpp)
    void cmdSendData_Click();
    void mnuSendAsHex_Click(bool on);
    void mnuLineEnds_Click(LineEnd end);
    void Winsock_DataArrival(int bytesTotal);
    void cmdClear_Click();
    // Send Data's steps, for the button and for each repetition: the checks,
    // the box read in the chosen mode, the bytes handed to the endpoint. A
    // null string when they went out, else the refusal panel 1 now shows.
    // What the endpoint raises is left to the caller's guard.
    QString sendData();
    QString refuseSend(const QString &text);
    // The send box as text, with the chosen line ends, in the chosen encoding;
    // a character the encoding cannot hold sends nothing and is pointed at.
    QString sendText();
    // The send box's corner marks and description say which modes are on.
    void showSendModes();

    // Send Repeatedly and Reply Automatically, strips in the two fields
    // (data/strips.cpp)
    void connectStrips();
    // One repetition: Send Data under the guard; what stopped it, or null.
    QString repeatSendData();
    // Each arrival's bytes, before the log shows them: the replies they call for.
    void Winsock_BytesArrived(const QByteArray &bytes, const ::Winsock::Origin &from);

    // TLS for the TCP roles (link/tls.cpp): the strip's choice marks the log,
    // and a role takes it as it starts.
    void connectTls();
    void tlsSettings_UseChanged(bool on);
    // The server role's TLS, its certificate made first when it needs one;
    // a failure to make it is told in panel 1 and raised.
    std::optional<TlsSettings> serverTls();
    void Winsock_Tls(const QString &status);
    void Winsock_TlsFailed(const QString &reason);

    // Datagrams lost before the log could show them, told in panel 1
    // (data/datagramDrops.cpp).
    void Winsock_DatagramsDropped(quint64 backlog, quint64 bySystem);

    // Send File and Traffic, strips in the two fields (data/sendFile.cpp)
    void connectSendFile();
    // Starts the chosen file under Send Data's refusals: null, or the refusal.
    QString startSendFile(const QString &path, qint64 pieceBytes, double everyMs);
    void sendFile_Finished(const QString &failure);
    // What refuses Send Data and Send File alike before anything is read, or null.
    QString linkRefusal() const;
    FileSend *fileSend = nullptr;
    SendFileStrip *sendFileStrip = nullptr; // "Send File…" in the box's menu
    TrafficStrip *trafficStrip = nullptr;   // "Traffic…" in the log's menu

    // Saving the receive log to a file (data/saving.cpp)
    void txtReceive_SaveAs();

    // Capturing the conversation to a file (data/capturing.cpp): starts one,
    // or stops the one under way.
    void txtReceive_Capture();
    // Ends the capture; a failure's cause goes to panel 1.
    void stopCapture(const QString &failure = QString());
    // With Show Arrival Times on, the line that goes in with the arrival
    // (data/receiving.cpp); empty when it is off.
    QString arrivalTimeLine(int bytesTotal);
    // The first bytes of a character the TCP peer's close cut short, as U+FFFD.
    void showCharacterCutByClose();

    // Status panels are numbered 1 to 3 from the left.
    void setPanelText(int panel, const QString &text);

    // Window-level flag: true while Apply is at work.
    bool bApplyBusy = false;

    ::Winsock *Winsock = nullptr;
    QTimer *LocalHostInfoRefreshTimer = nullptr;

    QGroupBox *Frame4 = nullptr;
    QRadioButton *optClient = nullptr;
    QRadioButton *optServer = nullptr;
    QGroupBox *Frame5 = nullptr;
    QRadioButton *optTCP = nullptr;
    QRadioButton *optUDP = nullptr;
    QPushButton *cmdApply = nullptr;
    QLineEdit *txtLocalHostPortSet = nullptr;
    QLineEdit *txtRemoteHostPort = nullptr;
    QLineEdit *txtRemoteHostIP = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label4 = nullptr;

    QGroupBox *frame3 = nullptr;
    QLineEdit *txtLocalHostPort = nullptr;
    QLineEdit *txtLocalHostIP = nullptr;
    QLineEdit *txtLocalHostName = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;

    ::StatusBar *StatusBar = nullptr;

    QGroupBox *Frame2 = nullptr;
    QPushButton *cmdSendData = nullptr;
    QCheckBox *chkHex = nullptr;
    TextField *txtSend = nullptr;
    // "Send as Hex" in the send box's context menu: Send Data reads the box
    // as hex bytes. Off at start, never stored.
    QAction *mnuSendAsHex = nullptr;
    // "Line Ends" there: how each line break of the box goes out. LF, as
    // typed, at first; never stored.
    QMenu *mnuLineEnds = nullptr;
    LineEnd sendLineEnd = LineEnd::Lf;
    RepeatStrip *sendRepeat = nullptr; // "Send Repeatedly…" in the box's menu

    QGroupBox *Frame1 = nullptr;
    QCheckBox *chkHexDISP = nullptr;
    QPushButton *cmdClear = nullptr;
    TextField *txtReceive = nullptr;
    ReceiveLog *receiveLog = nullptr; // the log's rules over txtReceive
    ReplyStrip *autoReply = nullptr;  // "Reply Automatically…" in its menu
    TlsStrip *tlsSettings = nullptr;  // "TLS…" in both fields' menus

    QLabel *Label3 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *ImgLogo2 = nullptr;
    QLabel *imgLogl = nullptr;

    void createControls();
    void connectEvents();
    void setTabOrder();
    void describeForAssistiveTools();

    // Runs one entry from Qt; a failure becomes "<operation> failed: <cause>"
    // in status panel 1, or failureText when given, instead of escaping into
    // the event loop (ui/guard.cpp). False when the handler failed.
    bool guarded(const char *operation, const std::function<void()> &handler,
                 const QString &failureText = QString());
    // What panel 1 says when an arrival cannot be shown (data/receiving.cpp).
    static QString arrivalFailedText();

    // Apply and role rules shared by both transport handlers.
    void applyTransportRules();
    // Clears a choice without running its handler.
    static void clearChoice(QRadioButton *choice);

    // --- steps the transport and role handlers share (link/sharedSteps.cpp)
    enum class RemoteText { Keep, Clear };
    // Both remote fields get the locked or the editable look and lock.
    void setRemoteFieldsLocked(bool locked, RemoteText text);
    // The local port field, or 1000 when it is blank or reads 0, becomes the
    // endpoint's local port.
    void useLocalPortOrDefault();
    // A failure of the link's set-up (Apply, the transport and role
    // choices) is kept, so that a later success of Apply or of a role routine
    // clears it while panel 1 still shows it; no other text is cleared.
    void guardedLink(const char *operation, const std::function<void()> &handler);
    void showLinkFailure(const QString &text);
    void clearStaleLinkFailure();
    QString linkFailureText;

    // One buffer for every hex record, so a flood does not allocate a record
    // each time: at most one read's record, some 4.4 MB for a full 1 MB read.
    QByteArray hexRecordBuffer;

    // --- saving the receive log (data/saving.cpp)
    QString lastSaveFolder;     // for this session only
    LogSave *logSave = nullptr; // the save under way

    // --- capturing (data/capturing.cpp)
    QString lastCaptureFolder;      // for this session only
    CaptureFile *capture = nullptr; // the capture under way
    // When Send Data last sent, while nothing has changed the link since.
    std::optional<std::chrono::steady_clock::time_point> lastSendAt;
};
