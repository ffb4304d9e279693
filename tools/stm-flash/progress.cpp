#include "stm-flash/progress.h"

#include <cstdio>
#include <unistd.h>

namespace StmFlash {

Progress::Progress(const QString &what, qint64 total) : what(what), total(total > 0 ? total : 1)
{
    tty = ::isatty(STDERR_FILENO) != 0;
    clock.start();
    show(0);
}

void Progress::show(qint64 done)
{
    const int percent = static_cast<int>(done * 100 / total);
    if (tty) {
        const int filled = percent * 30 / 100;
        std::fprintf(stderr, "\r%-8s [%s%s] %3d%%", qPrintable(what),
                     QByteArray(filled, '#').constData(), QByteArray(30 - filled, '.').constData(),
                     percent);
        std::fflush(stderr);
    } else if (percent / 10 > lastTenth) {
        lastTenth = percent / 10;
        std::fprintf(stderr, "stm-flash: %s %d%%\n", qPrintable(what), lastTenth * 10);
    }
}

double Progress::finish()
{
    if (tty)
        std::fprintf(stderr, "\n");
    return static_cast<double>(clock.elapsed()) / 1000.0;
}

void Phases::show(FlashWriter::Phase phase, qint64 done, qint64 total)
{
    if (!bar || phase != current) {
        finish();
        current = phase;
        bar.reset(new Progress(
            phase == FlashWriter::Phase::Write ? QStringLiteral("write") : QStringLiteral("verify"),
            total));
    }
    bar->show(done);
}

void Phases::finish()
{
    if (bar)
        seconds[current == FlashWriter::Phase::Write ? 0 : 1] = bar->finish();
    bar.reset();
}

}  // namespace StmFlash
