// stm-flash: writes an application image into one shield through its STM32 system bootloader,
// over the shields' own SPI bus (the board's GPIO and spidev, or the simulated bus), then reads
// it back, compares it and starts it. It takes the bus lock first, so it never runs beside a
// driver. The image and the plan (FlashImage, FlashPlan) are decided before the bus is touched;
// FlashWriter writes and starts it. Here: the command line, the image, the bus, and the run
// (run.cpp, in its phases). Exit status 0 when the image verified and the application started;
// 2 when the shield runs its application instead of its bootloader; 1 for every other failure.

#include "base/qtcompat.h"
#include "common/say.h"
#include "common/stopsignals.h"
#include "stm-flash/bus.h"
#include "stm-flash/options.h"
#include "stm-flash/run.h"

#include "link/flashimage.h"
#include "link/stmbootloader.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

using namespace StmFlash;

namespace {

// The image is checked before anything touches the bus: against the flash size given, or the
// largest flash of the table until the chip tells its own.
int loadImage(const Options &o, FlashImage *image)
{
    quint32 largest = 0;
    for (const StmBootloader::Part &p : StmBootloader::parts())
        largest = std::max(largest, p.flashSize);
    if (!image->load(o.image, o.format, o.address, StmBootloader::flashBase,
                     o.flashSize ? o.flashSize : largest))
        return Say::fail(image->error() + QStringLiteral("; nothing was touched"));
    Say::out(
        QStringLiteral("image %1: %2, %3 bytes from %4 to %5\n")
            .arg(o.image, image->format() == FlashImage::Format::Hex ? QStringLiteral("Intel HEX")
                                                                     : QStringLiteral("binary"))
            .arg(image->byteCount())
            .arg(StmBootloader::hex(image->lowest()), StmBootloader::hex(image->highestEnd() - 1)));
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    Say::setProgram("stm-flash");
    Options o;
    QString problem;
    switch (parseOptions(app.arguments().mid(1), &o, &problem)) {
    case Parsed::Help:
        Say::out(QString::fromUtf8(usage));
        return 0;
    case Parsed::Bad:
        Say::fail(problem);
        std::fprintf(stderr, "\n%s", usage);
        return 1;
    case Parsed::Run:
        break;
    }
    FlashImage image;
    if (o.readFile.isEmpty()) {
        if (int status = loadImage(o, &image))
            return status;
    }
    Bus bus;
    if (int status = bus.take(o))
        return status;
    StopSignals::catchStops();
    bus.start();
    int status = run(bus.board(), o, image);
    if (StopSignals::caught() && status != 0)
        status =
            Say::fail(QStringLiteral("interrupted; the shield's flash may be incomplete: run "
                                     "stm-flash again"));
    bus.stop();
    return status;
}
