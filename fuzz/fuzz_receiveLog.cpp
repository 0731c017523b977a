// Appends pieces the fuzzer makes up to a receive log and checks that the log
// reads back as a model of its line rules says: every character as it came,
// CR LF, a lone CR and a lone LF each one "\n", and a CR that ends one piece
// taking the LF that starts the next.
#include "data/ReceiveLog.h"

#include <QApplication>
#include <QString>
#include <QTextBlock>
#include <QTextDocument>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Characters the log treats with care and their neighbours; the rest of the
// time a code unit comes straight from the input.
constexpr char16_t interesting[15]
        = { u'\r', u'\n',   u'\u2028', u'\u2029', u'\uFDD0', u'\uFDD1',        u'\uFFFD',
            u'\t', u'\x0E', u'a',      u' ',      u'\u8000', char16_t(0xD83D), char16_t(0xDE00),
            u'\0' };

constexpr qsizetype maxTotal = 64 * 1024;

QString model(const std::vector<QString> &pieces)
{
    QString expected;
    bool afterCR = false;
    for (const QString &piece : pieces) {
        for (qsizetype i = 0; i < piece.size(); ++i) {
            const QChar c = piece[i];
            if (c == u'\n' && afterCR) {
                afterCR = false;
                continue;
            }
            afterCR = c == u'\r';
            expected += c == u'\r' ? QChar(u'\n') : c;
        }
    }
    return expected;
}

[[noreturn]] void mismatch(const char *why, const std::vector<QString> &pieces)
{
    std::fprintf(stderr, "%s after %zu pieces:\n", why, pieces.size());
    for (const QString &piece : pieces) {
        for (QChar c : piece)
            std::fprintf(stderr, "%04x ", c.unicode());
        std::fprintf(stderr, "|\n");
    }
    std::abort();
}

ReceiveLog &theLog()
{
    static int argc = 1;
    static char name[] = "fuzz_receiveLog";
    static char *argv[] = { name, nullptr };
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    static ReceiveLog *log = [] {
        auto *view = new ReceiveLog;
        view->resize(480, 300);
        view->show();
        return view;
    }();
    (void)app;
    return *log;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Fonts and their caches are set up on first use; not per input.
    ReceiveLog &log = theLog();
    log.appendPiece(QStringView(interesting, qsizetype(std::size(interesting))).toString());
    QCoreApplication::processEvents();
    log.grab();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    ReceiveLog &log = theLog();
    log.clearLog();
    std::vector<QString> pieces;
    qsizetype total = 0;
    while (input.remaining_bytes() > 0 && total < maxTotal) {
        QString piece;
        const int units = input.ConsumeIntegralInRange(0, 64);
        for (int i = 0; i < units && input.remaining_bytes() > 0; ++i) {
            const uint8_t kind = input.ConsumeIntegral<uint8_t>();
            if (kind < 128) {
                piece += QChar(interesting[kind % std::size(interesting)]);
            } else if (kind < 160) {
                // A long run crosses the log's paragraph sizes.
                const char16_t c = interesting[kind % std::size(interesting)];
                piece += QString(input.ConsumeIntegralInRange<qsizetype>(1, 5000), QChar(c));
            } else {
                piece += QChar(input.ConsumeIntegral<uint16_t>());
            }
        }
        total += piece.size();
        pieces.push_back(piece);
        if (!log.appendPiece(piece))
            mismatch("a piece well below the capacity was refused", pieces);
        if (input.ConsumeBool())
            QCoreApplication::processEvents(); // lets a held repaint and a batch end
    }
    if (log.logText() != model(pieces))
        mismatch("the log does not read back what arrived", pieces);
    const QTextCursor caret = log.textCursor();
    if (caret.hasSelection() || caret.position() != int(log.length()))
        mismatch("the caret is not at the end", pieces);
    for (QTextBlock block = log.document()->begin(); block.isValid(); block = block.next()) {
        if (block.length() - 1 > ReceiveLog::maxParagraphChars)
            mismatch("a paragraph grew past its bound", pieces);
    }
    return 0;
}
