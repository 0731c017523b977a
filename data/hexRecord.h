#pragma once

#include <QByteArrayView>
#include <QString>

// The receive log's hex record: a header naming the transport and the byte
// count, then every byte as two upper-case hex digits and a space, 16 to a
// line, continuation lines indented to the header's width, CR LF after every
// line. Counts up to FFFF use four digits; larger ones as many as they need.

enum class HexTransport { Tcp, Udp };

// Width of the header for a record of `count` bytes (17 up to FFFF bytes).
qsizetype hexRecordHeaderWidth(qsizetype count);

// The record in Latin-1, a byte a character, written over `out`: the log
// stores it as it comes, and a buffer used again and again costs no fresh
// pages for every read of a fast stream.
void buildHexRecordLatin1(HexTransport transport, QByteArrayView bytes, QByteArray &out);
// The same record as text.
QString buildHexRecord(HexTransport transport, QByteArrayView bytes);
