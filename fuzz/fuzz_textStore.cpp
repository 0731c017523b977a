// Applies edits the fuzzer makes up to a TextStore with tiny chunks and
// paragraphs and to a plain QString, and checks after each edit that both hold
// the same text and that the paragraphs are the ones a direct reading of the
// line rules gives. Dropped storage is kept aside from a tiny size on and
// released now and then, in between the edits.
#include "field/TextStore.h"

#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Line breaks twice as often as the rest; the rest are one of each storage
// width, a surrogate pair's halves, a separator that must not break, and NUL.
constexpr char16_t alphabet[] = { u'\r',
                                  u'\r',
                                  u'\n',
                                  u'\n',
                                  u'a',
                                  u'a',
                                  u'\u00E9',
                                  u'\u4E2D',
                                  u'\u2028',
                                  char16_t(0xD83D),
                                  char16_t(0xDE00),
                                  u'\0' };
constexpr qsizetype maxCapacity = 300;
constexpr int maxEdits = 64;
constexpr qsizetype maxKeptAside = 64;

QString makePiece(FuzzedDataProvider &input)
{
    QString piece;
    const int units = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < units && input.remaining_bytes() > 0; ++i) {
        const auto kind = input.ConsumeIntegral<uint8_t>();
        const QChar unit(alphabet[kind % std::size(alphabet)]);
        // Now and then a run, so that lines grow past several paragraphs.
        piece += kind >= 224 ? QString(input.ConsumeIntegralInRange(2, 30), unit) : QString(unit);
    }
    return piece;
}

struct Paragraph
{
    qsizetype start;
    qsizetype length;
    qsizetype breakLength;
};

// The lines between breaks (CR LF, CR, LF), each cut every paragraphUnits units.
std::vector<Paragraph> paragraphsOf(const QString &text, qsizetype paragraphUnits)
{
    std::vector<Paragraph> paragraphs;
    qsizetype lineStart = 0;
    for (;;) {
        qsizetype end = lineStart;
        while (end < text.size() && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        qsizetype breakLength = 0;
        if (end < text.size())
            breakLength
                    = text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n' ? 2 : 1;
        qsizetype start = lineStart;
        do {
            const qsizetype length = std::min(paragraphUnits, end - start);
            paragraphs.push_back({ start, length, 0 });
            start += length;
        } while (start < end);
        paragraphs.back().breakLength = breakLength;
        if (breakLength == 0)
            return paragraphs;
        lineStart = end + breakLength;
    }
}

[[noreturn]] void mismatch(const char *why, const TextStore::Limits &limits, const std::string &edits,
                           const QString &expected)
{
    std::fprintf(stderr,
                 "%s\nchunk %lld, paragraph %lld, capacity %lld units\nedits:\n%s\ntext: ", why,
                 static_cast<long long>(limits.chunkUnits),
                 static_cast<long long>(limits.paragraphUnits),
                 static_cast<long long>(limits.capacity), edits.c_str());
    for (QChar c : expected)
        std::fprintf(stderr, "%04x ", c.unicode());
    std::fprintf(stderr, "\n");
    std::abort();
}

std::string describe(const char *edit, qsizetype position, const QString &piece)
{
    std::string line = edit;
    line += ' ' + std::to_string(position) + ':';
    for (QChar c : piece) {
        char unit[8];
        std::snprintf(unit, sizeof unit, " %04x", c.unicode());
        line += unit;
    }
    return line + '\n';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const TextStore::Limits limits { .chunkUnits = input.ConsumeIntegralInRange(2, 9),
                                   .paragraphUnits = input.ConsumeIntegralInRange(1, 7),
                                   .capacity
                                   = input.ConsumeIntegralInRange<qsizetype>(0, maxCapacity),
                                   .keepAsideBytes
                                   = input.ConsumeIntegralInRange<qsizetype>(0, maxKeptAside) };
    TextStore log(limits);
    QString model;
    std::string edits;
    const auto check = [&](bool condition, const char *why) {
        if (!condition)
            mismatch(why, limits, edits, model);
    };

    for (int n = 0; n < maxEdits && input.remaining_bytes() > 0; ++n) {
        const int kind = input.ConsumeIntegralInRange(0, 17);
        // Positions a little outside the text, which the log clamps.
        const qsizetype position = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype at = std::clamp<qsizetype>(position, 0, model.size());
        if (kind < 11) {
            const QString piece = makePiece(input);
            const bool fits = model.size() + piece.size() <= limits.capacity;
            const bool appending = kind < 6;
            edits += describe(appending ? "append" : "insert", position, piece);
            check((appending ? log.append(piece) : log.insert(position, piece)) == fits,
                  "a piece was refused below the capacity or taken past it");
            if (fits)
                model.insert(appending ? model.size() : at, piece);
        } else if (kind < 15) {
            const qsizetype count = input.ConsumeIntegralInRange<qsizetype>(-1, model.size() + 2);
            edits += describe("remove", position, QString::number(count));
            log.remove(position, count);
            model.remove(at, std::clamp<qsizetype>(count, 0, model.size() - at));
        } else if (kind < 16) {
            edits += "clear\n";
            log.clear();
            model.clear();
        } else {
            const qsizetype budget = input.ConsumeIntegralInRange<qsizetype>(0, 40);
            edits += describe("release", budget, {});
            const bool waited = log.hasMemoryToRelease();
            const qsizetype before = log.memoryBytes();
            const bool more = log.releaseMemory(budget);
            check(more == log.hasMemoryToRelease() && (waited || !more),
                  "what is left to release differs from what the release says");
            const qsizetype freed = before - log.memoryBytes();
            check(waited ? freed > 0 : freed == 0,
                  "a release gave back nothing, or something when nothing waited");
            check(!more || freed >= budget, "a release stopped short of its budget");
        }

        check(log.length() == model.size(), "the length differs");
        check(log.text() == model, "the text differs");
        const qsizetype from = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype to = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype first = std::clamp<qsizetype>(from, 0, model.size());
        const qsizetype last = std::clamp<qsizetype>(to, first, model.size());
        check(log.text(from, to) == model.mid(first, last - first), "a slice of the text differs");
        check(log.at(from) == (from == first && from < model.size() ? model[from] : QChar()),
              "a unit differs");

        const std::vector<Paragraph> paragraphs = paragraphsOf(model, limits.paragraphUnits);
        check(log.paragraphCount() == qsizetype(paragraphs.size()), "the paragraph count differs");
        qsizetype k = 0;
        qsizetype lineStart = 0;
        for (qsizetype p = 0; p <= model.size(); ++p) {
            while (k + 1 < qsizetype(paragraphs.size()) && paragraphs[k + 1].start <= p) {
                ++k;
                if (paragraphs[k - 1].breakLength > 0)
                    lineStart = paragraphs[k].start;
            }
            check(log.paragraphAt(p) == k, "the paragraph at a position differs");
            check(log.lineStart(p) == lineStart, "the start of a line differs");
        }
        for (k = 0; k < qsizetype(paragraphs.size()); ++k) {
            const TextStore::Paragraph paragraph = log.paragraph(k);
            check(paragraph.start == paragraphs[k].start
                          && log.paragraphStart(k) == paragraph.start,
                  "a paragraph start differs");
            check(paragraph.length == paragraphs[k].length, "a paragraph length differs");
            check(paragraph.breakLength == paragraphs[k].breakLength, "a break length differs");
        }
    }
    return 0;
}
