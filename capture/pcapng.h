#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

// The blocks of a pcapng file, each one whole: a length that is a multiple of
// four, given at both ends, options padded to four and closed by an end of
// options. Written little-endian, which the section header's byte-order magic
// tells readers; the same bytes on every host.

// Raw IPv4 or IPv6, no link header: the version nibble tells a reader which.
constexpr quint16 linkTypeRaw = 101;
// Larger than any IP packet without jumbograms (IPv6's 40 + 65,535).
constexpr quint32 captureSnapLength = 262144;

enum class PacketDirection : quint32 { Inbound = 1, Outbound = 2 }; // epb_flags bits 0-1

// Opens a section of unknown length, naming the application that wrote it.
QByteArray pcapngSectionHeader(QByteArrayView application);
// Interface 0 of the section: its link type, snap length and microsecond times.
QByteArray pcapngInterface(quint16 linkType, quint32 snapLength);
// One packet seen on interface 0 at `microseconds` since 1970 (UTC), whole,
// appended to `out`: its headers, then its payload, copied once.
void appendPcapngPacket(QByteArray &out, quint64 microseconds, PacketDirection direction,
                        QByteArrayView headers, QByteArrayView payload = {});
