#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <memory>

// The encodings beyond UTF-8, UTF-16 and Latin-1, converted by the system:
// ICU on Linux (systemEncodingsIcu.cpp), the code pages on Windows
// (systemEncodingsWindows.cpp). Named as TextEncoding::name has them
// ("windows-1252", "GB18030", "Big5", "Shift_JIS", "EUC-KR", "KOI8-R").
class SystemConverter final
{
public:
    explicit SystemConverter(const QByteArray &name);
    ~SystemConverter();
    SystemConverter(const SystemConverter &) = delete;
    SystemConverter &operator=(const SystemConverter &) = delete;

    // False when this system does not know the encoding: then decode and
    // encode give nothing.
    bool isValid() const;
    // The text of bytes taken on their own: every invalid byte sequence, and
    // a character cut short at their end, is one U+FFFD, never a control
    // character or the code page's own stand-in. A U+FEFF is kept.
    QString decode(QByteArrayView bytes);
    // The text in the encoding, with no best-fit guesses: a character it
    // cannot hold is written as a stand-in that does not decode back to it.
    QByteArray encode(QStringView text);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
