#include "text/lineColumn.h"

#include <QChar>
#include <QString>

LineColumn lineColumnOf(std::span<const QAnyStringView> pieces, qsizetype position)
{
    qsizetype at = 0;
    qsizetype line = 1;
    qsizetype lineStart = 0;
    bool afterCr = false;
    for (const QAnyStringView piece : pieces) {
        piece.visit([&](auto view) {
            for (const auto unit : view) {
                if (at == position)
                    return;
                const char16_t c = QChar(unit).unicode();
                if (c == u'\r' || (c == u'\n' && !afterCr))
                    ++line;
                if (c == u'\r' || c == u'\n')
                    lineStart = at + 1;
                afterCr = c == u'\r';
                ++at;
            }
        });
        if (at == position)
            break;
    }
    return { line, at - lineStart + 1 };
}
