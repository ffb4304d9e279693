#pragma once
// Writes a plan into a shield's flash through its bootloader, reads it back and starts it: the
// engine of stm-flash, after the plan's pages were erased.
//
// Every block but the last (the one holding the image's first word) is written and read back;
// then the last is. A block is never written over programmed bytes: when a write's acknowledge
// does not come (or the write is refused), the block is read back; holding the data, it stands
// (the acknowledge was lost). Otherwise, and when a block reads back wrong, its page is erased
// again and every block of it written so far is written anew, at most maxPageRewrites times a
// page. One thread at a time, as the bootloader host it drives.

#include "link/flashplan.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <functional>

class Board;
class StmBootloader;

class FlashWriter
{
public:
    static constexpr int maxPageRewrites = 3;
    // How long the application may take to answer after a Go whose acknowledge was lost.
    static constexpr int applicationWaitMs = 1000;

    enum class Phase { Write, Verify };
    // Bytes done of `total` in a phase. Told for every block but the last, which is small.
    using Progress = std::function<void(Phase phase, qint64 done, qint64 total)>;

    FlashWriter(StmBootloader *host, Board *board, const FlashPlan &plan);
    void setProgress(Progress progress) { report = std::move(progress); }

    // Writes and verifies the plan. False with error() when a block could not be made right.
    bool program();
    // Reads every block back and compares it, changing nothing. False with error() naming the
    // first byte that differs.
    bool compare();

    enum class Start { Acknowledged, Runs, Failed };
    // Go to `address`. Runs: its acknowledge was lost, but the application answers with its
    // frames (error() says what was lost; *firmware its number, 0 when it did not say).
    Start start(quint32 address, quint16 *firmware);

    // Whether the selected shield answers with its application's frames; its firmware number
    // when it tells it.
    static bool applicationAnswers(Board *board, quint16 *firmware);
    // Reads `length` bytes from `address`, in blocks; `progress` gets the bytes read so far.
    static bool read(StmBootloader *host, quint32 address, quint32 length, QByteArray *data,
                     const std::function<void(qint64)> &progress = {});

    QString error() const { return why; }
    // Writes whose acknowledge did not come but whose block read back right.
    int keptWithoutAck() const { return kept; }
    // Pages erased again and written anew.
    int pagesRewritten() const { return rewrites; }
    // Whether the block holding the image's first word was sent (so the chip may start it).
    bool firstWordSent() const { return lastSent; }

private:
    bool fail(const QString &text);
    bool writeRange(int from, int to, bool told);
    bool verifyRange(int from, int to, bool told, bool mend = true);
    bool put(int block);
    bool rewritePage(int block, const QString &failure);

    StmBootloader *host;
    Board *board;
    const FlashPlan &plan;
    Progress report;
    QVector<bool> written;
    QVector<bool> verified;
    QMap<int, int> rewritesOfPage;
    QString why;
    int kept = 0;
    int rewrites = 0;
    bool lastSent = false;
};
