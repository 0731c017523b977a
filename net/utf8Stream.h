#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// UTF-8 text from a byte stream that may split a character across reads.
// Bytes of a character that is still incomplete at the end of one read stay in
// `carry` and are decoded with the next read. Invalid bytes become U+FFFD.
QString decodeUtf8Stream(QByteArray &carry, QByteArrayView input);

// Like QString::fromUtf8, but a U+FEFF at the start is kept: it starts
// wherever a read happened to begin and is data, not a byte order mark.
QString decodeWhole(QByteArrayView bytes);

// Length of the longest suffix of `bytes` that could still become a valid
// UTF-8 character with more bytes (0 to 3).
qsizetype incompleteUtf8Tail(QByteArrayView bytes);
