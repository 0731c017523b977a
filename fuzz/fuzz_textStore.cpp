// Applies edits the fuzzer makes up to a TextStore with tiny chunks and
// paragraphs and to a plain QString, and checks after each edit that both hold
// the same text and that the paragraphs are the ones a direct reading of the
// line rules gives. Dropped storage is kept aside from a tiny size on and
// released now and then, in between the edits.
//
// Half the inputs edit the store directly, text taken out and put back and
// joined included; the other half edit it through a TextDocument and its
// history with arrivals at the end in between, undo and redo, and a tiny
// budget, against a QString and a list of the steps the history should hold;
// after each step the document must have announced every change it made.
#include "field/model/EditHistory.h"
#include "field/model/TextDocument.h"
#include "field/model/TextStore.h"

#include <QCoreApplication>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

// Line breaks twice as often as the rest; the rest are one of each storage
// width, a surrogate pair whole and its halves alone, a separator that must
// not break, and NUL. With paragraphs of a few units, pairs often straddle a cut.
const QString alphabet[] = { QStringLiteral("\r"),         QStringLiteral("\r"),
                             QStringLiteral("\n"),         QStringLiteral("\n"),
                             QStringLiteral("a"),          QStringLiteral("a"),
                             QStringLiteral("\u00E9"),     QStringLiteral("\u4E2D"),
                             QStringLiteral("\u2028"),     QStringLiteral("\U0001F600"),
                             QStringLiteral("\U0001F600"), QString(QChar(0xD83D)),
                             QString(QChar(0xDE00)),       QString(QChar(0)) };
constexpr qsizetype maxCapacity = 300;
constexpr int maxEdits = 64;
constexpr qsizetype maxKeptAside = 64;
constexpr qsizetype maxSpare = 400;

// A step the history should hold: the text of it in the log now and the text
// that was there before.
struct Step
{
    qsizetype at = 0;
    QString present;
    QString absent;
};

QString makePiece(FuzzedDataProvider &input)
{
    QString piece;
    const int units = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < units && input.remaining_bytes() > 0; ++i) {
        const auto kind = input.ConsumeIntegral<uint8_t>();
        const QString &unit = alphabet[kind % std::size(alphabet)];
        // Now and then a run, so that lines grow past several paragraphs.
        piece += kind >= 224 ? unit.repeated(input.ConsumeIntegralInRange(2, 30)) : unit;
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

[[noreturn]] void mismatch(const char *why, const TextStore::Limits &limits,
                           const std::string &edits, const QString &expected)
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

// The document gives storage back on a timer, which wants an application.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const TextStore::Limits limits { .chunkUnits = input.ConsumeIntegralInRange(2, 9),
                                     .paragraphUnits = input.ConsumeIntegralInRange(1, 7),
                                     .capacity
                                     = input.ConsumeIntegralInRange<qsizetype>(0, maxCapacity),
                                     .keepAsideBytes
                                     = input.ConsumeIntegralInRange<qsizetype>(0, maxKeptAside) };
    const bool throughHistory = input.ConsumeBool();
    const qsizetype spare = input.ConsumeIntegralInRange<qsizetype>(0, maxSpare);
    TextStore direct(limits);
    TextDocument document(limits, spare);
    const TextStore &log = throughHistory ? document.text() : direct;
    quint64 heard = log.edits();
    qsizetype announcedLength = log.length();
    QObject::connect(&document, &TextDocument::changed, [&](const TextChange &change) {
        heard = change.edits;
        announcedLength += change.inserted - change.removed;
    });
    QString model;
    std::string edits;
    const auto check = [&](bool condition, const char *why) {
        if (!condition)
            mismatch(why, limits, edits, model);
    };

    // Text taken out of the store and not put back yet, with what it should read.
    std::vector<std::pair<TextStore::Taken, QString>> pool;
    const auto pick = [&] {
        return std::size_t(input.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1));
    };

    const EditHistory &history = document.history();
    std::deque<Step> steps; // oldest first; [0, done) are done
    qsizetype done = 0;
    const auto stepOf = [](const Step &step) {
        return EditHistory::Step { step.at, step.present.size(), step.absent.size() };
    };
    const auto swapIn = [&](Step &step) {
        model.replace(step.at, step.present.size(), step.absent);
        std::swap(step.present, step.absent);
    };
    // The history drops the oldest steps, or once none is left to undo the
    // last ones to redo, when it holds more than its budget.
    const auto followDrops = [&] {
        const auto redone = qsizetype(steps.size()) - done;
        check(history.undoCount() <= done && history.redoCount() <= redone,
              "the history holds steps it should not");
        while (done > history.undoCount()) {
            steps.pop_front();
            --done;
        }
        while (qsizetype(steps.size()) - done > history.redoCount())
            steps.pop_back();
        qsizetype units = 0;
        for (const Step &step : steps)
            units += step.absent.size() + EditHistory::recordUnits;
        check(history.heldUnits() == units, "the history counts what it holds wrong");
        check(steps.empty()
                      || units <= std::max<qsizetype>(0, limits.capacity - model.size()) + spare,
              "the history holds more than its budget");
        check(done > 0 ? history.nextUndo() == stepOf(steps[done - 1]) : !history.canUndo(),
              "the step to undo differs");
        check(done < qsizetype(steps.size()) ? history.nextRedo() == stepOf(steps[done])
                                             : !history.canRedo(),
              "the step to redo differs");
    };
    const auto fitsBack = [&](const Step &step) {
        return step.absent.size() - step.present.size() <= limits.capacity - model.size();
    };

    // A snapshot taken before one of the edits must read the same ever after.
    const int snapshotBefore = input.ConsumeIntegralInRange(0, 7);
    TextSnapshot snapshot;
    QString snapshotText;

    for (int n = 0; n < maxEdits && input.remaining_bytes() > 0; ++n) {
        if (n == snapshotBefore) {
            snapshot = log.snapshot();
            snapshotText = model;
        }
        const int kind = input.ConsumeIntegralInRange(0, 19);
        // Positions a little outside the text, which the log clamps.
        const qsizetype position = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype at = std::clamp<qsizetype>(position, 0, model.size());
        if (kind < 6) {
            const QString piece = makePiece(input);
            const bool fits = model.size() + piece.size() <= limits.capacity;
            edits += describe("append", position, piece);
            check((throughHistory ? document.append(piece) : direct.append(piece)) == fits,
                  "a piece was refused below the capacity or taken past it");
            if (fits)
                model += piece;
            if (throughHistory)
                followDrops();
        } else if (throughHistory && kind < 16) {
            if (kind < 12) {
                const auto run = EditHistory::Run(input.ConsumeIntegralInRange(0, 3));
                const qsizetype count = input.ConsumeIntegralInRange<qsizetype>(-1, 3);
                const QString piece = makePiece(input);
                edits += describe("replace", position, piece);
                edits += describe("  count and run", count, QString::number(int(run)));
                qsizetype from = at;
                qsizetype to = std::clamp<qsizetype>(position + count, 0, model.size());
                if (to < from)
                    std::swap(from, to);
                const bool fits = piece.size() <= limits.capacity - (model.size() - (to - from));
                check(document.replace(position, position + count, piece, run) == fits,
                      "an edit was refused below the capacity or made past it");
                if (fits && (from < to || !piece.isEmpty())) {
                    const QString removed = model.mid(from, to - from);
                    steps.resize(done);
                    // Either a step of its own or one that goes on the last.
                    Step made { from, piece, removed };
                    Step merged;
                    if (done > 0) {
                        merged = steps[done - 1];
                        if (run == EditHistory::Run::Typing) {
                            merged.present += piece;
                        } else if (run == EditHistory::Run::Backspace) {
                            merged.at = from;
                            merged.absent.prepend(removed);
                        } else {
                            merged.absent += removed;
                        }
                    }
                    model.replace(from, to - from, piece);
                    const auto step = history.nextUndo();
                    if (step == stepOf(made) || !step) {
                        steps.push_back(made);
                        ++done;
                    } else {
                        check(done > 0 && run != EditHistory::Run::None && step == stepOf(merged),
                              "an edit is neither a step of its own nor the last one's");
                        steps[done - 1] = merged;
                    }
                }
            } else if (kind < 14) {
                edits += "undo\n";
                const bool can = done > 0 && fitsBack(steps[done - 1]);
                check(document.undo() == can, "an undo was refused, or made when it could not be");
                if (can)
                    swapIn(steps[--done]);
            } else if (kind < 15) {
                edits += "redo\n";
                const bool can = done < qsizetype(steps.size()) && fitsBack(steps[done]);
                check(document.redo() == can, "a redo was refused, or made when it could not be");
                if (can)
                    swapIn(steps[done++]);
            } else {
                edits += "caret moved\n";
                document.endRun();
            }
            followDrops();
        } else if (kind < 11) {
            const QString piece = makePiece(input);
            const bool fits = model.size() + piece.size() <= limits.capacity;
            edits += describe("insert", position, piece);
            check(direct.insert(position, piece) == fits,
                  "a piece was refused below the capacity or taken past it");
            if (fits)
                model.insert(at, piece);
        } else if (kind < 13) {
            const qsizetype count = input.ConsumeIntegralInRange<qsizetype>(-1, model.size() + 2);
            const QString removed
                    = model.mid(at, std::clamp<qsizetype>(count, 0, model.size() - at));
            model.remove(at, removed.size());
            if (kind == 11) {
                edits += describe("remove", position, QString::number(count));
                direct.remove(position, count);
            } else {
                edits += describe("take", position, QString::number(count));
                TextStore::Taken taken = direct.take(position, count);
                check(taken.length() == removed.size() && taken.text() == removed,
                      "taken text differs from what was there");
                if (pool.size() < 4)
                    pool.emplace_back(std::move(taken), removed);
                else
                    direct.discard(std::move(taken));
            }
        } else if (kind < 15) {
            if (!pool.empty() && kind == 13) {
                const std::size_t i = pick();
                edits += describe("put", position, pool[i].second);
                const bool fits = model.size() + pool[i].second.size() <= limits.capacity;
                check(direct.put(position, pool[i].first) == fits,
                      "taken text was refused below the capacity or put past it");
                if (fits) {
                    check(pool[i].first.isEmpty(), "put text is still held");
                    model.insert(at, pool[i].second);
                    pool.erase(pool.begin() + qsizetype(i));
                } else {
                    check(pool[i].first.text() == pool[i].second, "refused text changed");
                }
            } else if (pool.size() >= 2) {
                const std::size_t i = pick();
                const std::size_t j = pick();
                if (i != j) {
                    edits += describe("join", qsizetype(i), pool[j].second);
                    log.join(pool[i].first, std::move(pool[j].first));
                    pool[i].second += pool[j].second;
                    check(pool[i].first.length() == pool[i].second.size()
                                  && pool[i].first.text() == pool[i].second,
                          "joined text differs");
                    pool.erase(pool.begin() + qsizetype(j));
                }
            }
        } else if (kind < 17) {
            edits += "clear\n";
            if (throughHistory) {
                document.clear();
                steps.clear();
                done = 0;
                followDrops();
            } else {
                direct.clear();
            }
            model.clear();
        } else {
            const qsizetype budget = input.ConsumeIntegralInRange<qsizetype>(0, 40);
            edits += describe("release", budget, {});
            const bool waited = log.hasMemoryToRelease();
            const qsizetype before = log.memoryBytes();
            const bool more = throughHistory ? document.releaseMemory(budget)
                                             : direct.releaseMemory(budget);
            check(more == log.hasMemoryToRelease() && (waited || !more),
                  "what is left to release differs from what the release says");
            const qsizetype freed = before - log.memoryBytes();
            check(waited ? freed > 0 : freed == 0,
                  "a release gave back nothing, or something when nothing waited");
            check(!more || freed >= budget, "a release stopped short of its budget");
        }

        check(log.length() == model.size(), "the length differs");
        check(!throughHistory || (heard == log.edits() && announcedLength == log.length()),
              "the document changed its text without announcing it, or announced it wrong");
        check(log.text() == model, "the text differs");
        const QString broken = log.checkInvariants();
        check(broken.isEmpty(), broken.toLatin1().constData());
        check(snapshot.text() == snapshotText, "a snapshot changed");
        const qsizetype from = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype to = input.ConsumeIntegralInRange<qsizetype>(-2, model.size() + 2);
        const qsizetype first = std::clamp<qsizetype>(from, 0, model.size());
        const qsizetype last = std::clamp<qsizetype>(to, first, model.size());
        check(log.text(from, to) == model.mid(first, last - first), "a slice of the text differs");
        check(log.snapshot(from, to).text() == model.mid(first, last - first),
              "a snapshot of a slice differs");
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
