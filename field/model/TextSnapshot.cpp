#include "field/model/TextSnapshot.h"

#include "field/model/Utf8Encoder.h"

#include <algorithm>

QAnyStringView TextSnapshot::Piece::view(qsizetype from, qsizetype to) const
{
    if (utf16)
        return QStringView(utf16.get() + offset + from, to - from);
    return QLatin1StringView(reinterpret_cast<const char *>(latin1.get()) + offset + from,
                             to - from);
}

TextSnapshot::TextSnapshot(std::vector<Piece> pieces)
{
    auto data = std::make_shared<Data>();
    data->startOf.reserve(pieces.size() + 1);
    for (const Piece &piece : pieces)
        data->startOf.push_back(data->startOf.back() + piece.size);
    data->pieces = std::move(pieces);
    m_data = std::move(data);
}

qsizetype TextSnapshot::pieceAt(qsizetype position) const
{
    const auto &starts = m_data->startOf;
    return std::upper_bound(starts.begin(), starts.end() - 1, position) - starts.begin() - 1;
}

void TextSnapshot::forEachPiece(qsizetype from, qsizetype to,
                                const std::function<bool(QAnyStringView)> &visit) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    for (qsizetype i = from < to ? pieceAt(from) : 0; from < to; ++i) {
        const qsizetype start = m_data->startOf[i];
        const qsizetype end = std::min(to, m_data->startOf[i + 1]);
        if (!visit(m_data->pieces[i].view(from - start, end - start)))
            return;
        from = end;
    }
}

QAnyStringView TextSnapshot::storedFrom(qsizetype position) const
{
    if (position < 0 || position >= length())
        return {};
    const qsizetype i = pieceAt(position);
    const Piece &piece = m_data->pieces[i];
    return piece.view(position - m_data->startOf[i], piece.size);
}

QString TextSnapshot::text(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    QString result(to - from, Qt::Uninitialized);
    QChar *out = result.data();
    forEachPiece(from, to, [&](QAnyStringView piece) {
        piece.visit([&](auto view) {
            if constexpr (std::is_same_v<decltype(view), QStringView>)
                std::copy_n(view.data(), view.size(), out);
            else
                std::transform(view.begin(), view.end(), out,
                               [](auto c) { return QChar(char16_t(uchar(c))); });
        });
        out += piece.size();
        return true;
    });
    return result;
}

QByteArray TextSnapshot::utf8(qsizetype from, qsizetype to) const
{
    return encodeUtf8([&](const auto &visit) {
        forEachPiece(from, to, [&](QAnyStringView piece) {
            visit(piece);
            return true;
        });
    });
}
