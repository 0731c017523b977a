#include "text/systemEncodings.h"

#include "text/StreamDecoder.h"

#include <windows.h>

#include <algorithm>
#include <limits>

// The system's code pages. MultiByteToWideChar either fails on an invalid
// byte (MB_ERR_INVALID_CHARS) or puts the page's own stand-in in its place,
// so what fails as a whole is taken again a character at a time.

namespace {

struct CodePage
{
    const char *name;
    UINT number;
};
constexpr CodePage codePages[] = {
    { "windows-1252", 1252 }, { "GB18030", 54936 }, { "Big5", 950 },
    { "Shift_JIS", 932 },     { "EUC-KR", 949 },    { "KOI8-R", 20866 },
};

UINT codePageOf(const QByteArray &name)
{
    for (const CodePage &page : codePages) {
        if (name == page.name)
            return IsValidCodePage(page.number) ? page.number : 0;
    }
    return 0;
}

// The text of whole characters, or nothing when a byte does not decode.
bool decodeStrictly(UINT page, QByteArrayView bytes, QString &text)
{
    if (bytes.size() > std::numeric_limits<int>::max() / 2)
        return false;
    const int size = int(bytes.size());
    text.resize(2 * bytes.size());
    const int written
            = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), size,
                                  reinterpret_cast<wchar_t *>(text.data()), int(text.size()));
    if (written <= 0)
        return false;
    text.truncate(written);
    return true;
}

} // namespace

struct SystemConverter::State
{
    QByteArray name;
    UINT page = 0;
};

SystemConverter::SystemConverter(const QByteArray &name)
    : m_state(std::make_unique<State>(State { name, codePageOf(name) }))
{ }

SystemConverter::~SystemConverter() = default;

bool SystemConverter::isValid() const
{
    return m_state->page != 0;
}

QString SystemConverter::decode(QByteArrayView bytes)
{
    QString text;
    if (m_state->page == 0 || bytes.isEmpty() || decodeStrictly(m_state->page, bytes, text))
        return text;
    text.clear();
    QString one;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype length = std::min(multiByteCharacterLength(bytes.sliced(at), m_state->name),
                                          bytes.size() - at);
        if (decodeStrictly(m_state->page, bytes.sliced(at, length), one))
            text += one;
        else
            text += QChar::ReplacementCharacter;
        at += length;
    }
    return text;
}

QByteArray SystemConverter::encode(QStringView text)
{
    const UINT page = m_state->page;
    if (page == 0 || text.isEmpty() || text.size() > std::numeric_limits<int>::max() / 4)
        return {};
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int size = int(text.size());
    // What the page cannot hold is written as its stand-in; a round trip
    // finds it. GB18030 holds every character and takes no flag.
    const DWORD flags = page == 54936 ? 0 : WC_NO_BEST_FIT_CHARS;
    QByteArray bytes(4 * text.size(), Qt::Uninitialized);
    const int written = WideCharToMultiByte(page, flags, wide, size, bytes.data(),
                                            int(bytes.size()), nullptr, nullptr);
    if (written <= 0)
        return {};
    bytes.truncate(written);
    return bytes;
}
