#pragma once

#include <QByteArrayView>
#include <QString>

// The receive log's hex record: a 17-character header naming the transport and
// the byte count in four upper-case hex digits, then every byte as two
// upper-case hex digits and a space, 16 to a line, continuation lines indented
// by 17 spaces, CR LF after every line.

enum class HexTransport { Tcp, Udp };

// Characters before the first cell of every line.
constexpr qsizetype hexRecordHeaderWidth = 17;
// The largest count four hex digits hold; a longer record would break the
// layout, so it is refused instead.
constexpr qsizetype maxHexRecordBytes = 0xFFFF;

// The record in Latin-1, a byte a character, written over `out`: the log
// stores it as it comes, and a buffer used again and again costs no fresh
// pages for every read of a fast stream. False, with `out` untouched, for more
// than maxHexRecordBytes.
[[nodiscard]] bool buildHexRecordLatin1(HexTransport transport, QByteArrayView bytes,
                                        QByteArray &out);
// The same record as text; empty (a record never is) when refused.
QString buildHexRecord(HexTransport transport, QByteArrayView bytes);
