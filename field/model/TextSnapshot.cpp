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

StoredText TextSnapshot::stored() const
{
    if (!m_data)
        return {};
    return { m_data.get(), &TextSnapshot::pieceOf, m_data->startOf.data(),
             qsizetype(m_data->pieces.size()) };
}

QAnyStringView TextSnapshot::pieceOf(const void *data, qsizetype index, qsizetype from,
                                     qsizetype to)
{
    return static_cast<const Data *>(data)->pieces[index].view(from, to);
}

QString TextSnapshot::text(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    QString result(to - from, Qt::Uninitialized);
    QChar *out = result.data();
    for (const QAnyStringView piece : stored().pieces(from, to)) {
        piece.visit([&](auto view) {
            if constexpr (std::is_same_v<decltype(view), QStringView>)
                std::copy_n(view.data(), view.size(), out);
            else
                std::transform(view.begin(), view.end(), out,
                               [](auto c) { return QChar(char16_t(uchar(c))); });
        });
        out += piece.size();
    }
    return result;
}

QByteArray TextSnapshot::utf8(qsizetype from, qsizetype to) const
{
    return encodeUtf8([&](const auto &visit) {
        for (const QAnyStringView piece : stored().pieces(from, to))
            visit(piece);
    });
}
