#pragma once
// Progress on standard error: a bar on a terminal, a line per 10 % otherwise.

#include "link/flashwriter.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>

namespace StmFlash {

class Progress
{
public:
    Progress(const QString &what, qint64 total);
    void show(qint64 done);
    // Seconds it took.
    double finish();

private:
    QString what;
    qint64 total;
    bool tty = false;
    int lastTenth = 0;
    QElapsedTimer clock;
};

// The writer's phases as progress bars, with the seconds each took.
class Phases
{
public:
    void show(FlashWriter::Phase phase, qint64 done, qint64 total);
    void finish();
    double seconds[2] = {0, 0};  // write, verify

private:
    std::unique_ptr<Progress> bar;
    FlashWriter::Phase current = FlashWriter::Phase::Write;
};

}  // namespace StmFlash
