#include "strips/TlsStrip.h"

#include "field/widget/TextField.h"
#include "tls/identityFile.h"
#include "tls/runCertificate.h"
#include "tls/tlsWords.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>

TlsStrip::TlsStrip(TextField *log, TextField *sendBox)
    : FieldStrip(log, QStringLiteral("TLS…"), "tlsStrip")
    , m_use(new QCheckBox(QStringLiteral("Use TLS"), this))
    , m_checkPeer(new QCheckBox(QStringLiteral("Check the server's certificate"), this))
    , m_serverCertificate(new QLineEdit(this))
    , m_choose(new QPushButton(QStringLiteral("Choose Certificate…"), this))
    , m_runCertificate(new QPushButton(QStringLiteral("Made for This Run"), this))
    , m_openFromSendBox(QStringLiteral("TLS…"), this)
{
    m_use->setObjectName(QStringLiteral("tlsUse"));
    m_checkPeer->setObjectName(QStringLiteral("tlsCheckPeer"));
    m_checkPeer->setChecked(true);
    m_serverCertificate->setObjectName(QStringLiteral("tlsServerCertificate"));
    m_serverCertificate->setReadOnly(true);
    m_serverCertificate->setAccessibleName(QStringLiteral("Server certificate"));
    m_choose->setObjectName(QStringLiteral("tlsChooseCertificate"));
    m_runCertificate->setObjectName(QStringLiteral("tlsRunCertificate"));
    for (QPushButton *button : { m_choose, m_runCertificate })
        button->setAutoDefault(false);
    // Three rows: the choices, the server's certificate, and the status,
    // which after a handshake is a long line of its own.
    addControl(m_use);
    addControl(m_checkPeer);
    startRow();
    addControl(m_serverCertificate, QStringLiteral("Server"), 1);
    addControl(m_choose);
    addControl(m_runCertificate);
    startRow();

    m_openFromSendBox.setObjectName(QStringLiteral("mnuTlsStripSend"));
    connect(&m_openFromSendBox, &QAction::triggered, this, &TlsStrip::open);
    sendBox->addMenuAction(&m_openFromSendBox);

    connect(m_use, &QCheckBox::toggled, this, [this](bool on) {
        showUse();
        Q_EMIT useChanged(on);
    });
    connect(m_checkPeer, &QCheckBox::toggled, this, &TlsStrip::showUse);
    connect(m_choose, &QPushButton::clicked, this, &TlsStrip::chooseCertificate);
    connect(m_runCertificate, &QPushButton::clicked, this, &TlsStrip::useRunCertificate);
    showServerCertificate();
    showUse();
}

bool TlsStrip::isOn() const
{
    return m_use->isChecked();
}

void TlsStrip::activate()
{
    m_use->toggle();
}

std::optional<TlsSettings> TlsStrip::forClient() const
{
    if (!isOn())
        return std::nullopt;
    TlsSettings settings;
    settings.checkPeer = m_checkPeer->isChecked();
    return settings;
}

std::optional<TlsSettings> TlsStrip::forServer()
{
    if (!isOn())
        return std::nullopt;
    if (!m_chosen && !m_run) {
        m_run = makeRunCertificate(QHostInfo::localHostName(), QNetworkInterface::allAddresses());
        showServerCertificate();
    }
    return TlsSettings { m_checkPeer->isChecked(), m_chosen ? *m_chosen : *m_run };
}

void TlsStrip::showSession(const QString &status)
{
    setStatus(status);
}

void TlsStrip::showUse()
{
    setStatus(isOn() ? QStringLiteral("TLS on: the next TCP role speaks it")
                     : QStringLiteral("TLS off: the next TCP role speaks plain TCP"));
}

void TlsStrip::showServerCertificate()
{
    QString text;
    if (m_chosen) {
        text = QStringLiteral("%1: %2, SHA-256 %3")
                       .arg(m_chosenName, subjectName(m_chosen->certificate),
                            fingerprint(m_chosen->certificate));
    } else if (m_run) {
        text = QStringLiteral("made for this run, SHA-256 %1").arg(fingerprint(m_run->certificate));
    } else {
        text = QStringLiteral("made for this run when a server role first starts with TLS");
    }
    m_serverCertificate->setText(text);
    m_serverCertificate->setCursorPosition(0);
    m_serverCertificate->setToolTip(text);
    m_runCertificate->setEnabled(m_chosen.has_value());
}

void TlsStrip::chooseCertificate()
{
    const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Choose Certificate"),
            m_lastFolder.isEmpty() ? QDir::homePath() : m_lastFolder,
            QStringLiteral("Certificate and key (*.pem *.crt *.key *.p12 *.pfx);;All files (*)"));
    if (path.isEmpty())
        return;
    m_lastFolder = QFileInfo(path).absolutePath();
    readCertificate(path);
}

void TlsStrip::readCertificate(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setStatus(QStringLiteral("%1 cannot be read: %2").arg(name, file.errorString()));
        return;
    }
    const QByteArray bytes = file.read(maxIdentityFileBytes + 1);
    QString password;
    IdentityRead read = readIdentity(bytes, password);
    // A few tries, as a login prompt gives; Cancel ends them.
    for (int tries = 0; read.identity.isNull() && read.needsPassword && tries < 3; ++tries) {
        bool given = false;
        password = QInputDialog::getText(
                this, QStringLiteral("Certificate Password"),
                QStringLiteral("%1 (%2). Password:").arg(name, read.problem), QLineEdit::Password,
                QString(), &given);
        if (!given)
            break;
        read = readIdentity(bytes, password);
    }
    if (read.identity.isNull()) {
        setStatus(QStringLiteral("%1 not taken: %2").arg(name, read.problem));
        return;
    }
    m_chosen = read.identity;
    m_chosenName = name;
    showServerCertificate();
    setStatus(QStringLiteral("The next server role shows %1").arg(name));
}

void TlsStrip::useRunCertificate()
{
    m_chosen.reset();
    m_chosenName.clear();
    showServerCertificate();
    showUse();
}
