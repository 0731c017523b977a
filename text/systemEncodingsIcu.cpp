#include "text/systemEncodings.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

// ICU directly: Qt's converter over it never flushes a character cut short
// and lets single-byte converters stand U+001A for invalid bytes.

namespace {

// Every byte sequence ICU cannot map, and one cut short at a flush, is U+FFFD.
void replaceWithFffd(const void *, UConverterToUnicodeArgs *args, const char *, int32_t,
                     UConverterCallbackReason reason, UErrorCode *error)
{
    if (reason > UCNV_IRREGULAR)
        return; // reset, close or clone: nothing to write
    static const UChar replacement = 0xFFFD;
    *error = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, error);
}

} // namespace

struct SystemConverter::State
{
    struct Closer
    {
        void operator()(UConverter *converter) const { ucnv_close(converter); }
    };
    std::unique_ptr<UConverter, Closer> converter;
};

SystemConverter::SystemConverter(const QByteArray &name)
    : m_state(std::make_unique<State>())
{
    UErrorCode error = U_ZERO_ERROR;
    m_state->converter.reset(ucnv_open(name.constData(), &error));
    if (U_FAILURE(error)) {
        m_state->converter.reset();
        return;
    }
    ucnv_setToUCallBack(m_state->converter.get(), replaceWithFffd, nullptr, nullptr, nullptr,
                        &error);
    // What has no round-trip mapping is refused, not guessed at.
    ucnv_setFallback(m_state->converter.get(), false);
    ucnv_setFromUCallBack(m_state->converter.get(), UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr,
                          nullptr, nullptr, &error);
    if (U_FAILURE(error))
        m_state->converter.reset();
}

SystemConverter::~SystemConverter() = default;

bool SystemConverter::isValid() const
{
    return m_state->converter != nullptr;
}

QString SystemConverter::decode(QByteArrayView bytes)
{
    UConverter *converter = m_state->converter.get();
    if (!converter || bytes.isEmpty())
        return {};
    ucnv_resetToUnicode(converter);
    // Two units a byte is more than any encoding offered here needs.
    QString text(2 * bytes.size(), Qt::Uninitialized);
    auto *target = reinterpret_cast<UChar *>(text.data());
    const char *source = bytes.data();
    UErrorCode error = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, target + text.size(), &source, source + bytes.size(),
                   nullptr, true, &error);
    if (U_FAILURE(error))
        return QString(bytes.size(), QChar::ReplacementCharacter);
    text.truncate(target - reinterpret_cast<UChar *>(text.data()));
    return text;
}

QByteArray SystemConverter::encode(QStringView text)
{
    UConverter *converter = m_state->converter.get();
    if (!converter || text.isEmpty())
        return {};
    ucnv_resetFromUnicode(converter);
    QByteArray bytes(text.size() * qsizetype(ucnv_getMaxCharSize(converter)), Qt::Uninitialized);
    char *target = bytes.data();
    const auto *source = reinterpret_cast<const UChar *>(text.utf16());
    UErrorCode error = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, target + bytes.size(), &source, source + text.size(),
                     nullptr, true, &error);
    if (U_FAILURE(error))
        return {};
    bytes.truncate(target - bytes.data());
    return bytes;
}
