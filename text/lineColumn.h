#pragma once

#include <QAnyStringView>
#include <QtGlobal>

#include <span>

// Where a position of a field's text stands, as the user reads it: 1-based.
// Lines end at LF, CR LF or CR, as in the field. Columns count UTF-16 units,
// as the field's positions do, so a character beyond U+FFFF takes two.
struct LineColumn
{
    qsizetype line = 1;
    qsizetype column = 1;
};

// The text kept in pieces, as a field's store keeps its chunks (Latin-1 or
// UTF-16); a position past the end is taken as the end.
LineColumn lineColumnOf(std::span<const QAnyStringView> pieces, qsizetype position);
