#include "stm-flash/bus.h"

#include "common/say.h"

#include "board/boardconfigured.h"
#include "board/boardsimbus.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace StmFlash {

namespace {

QString stopTheDriver(const QString &problem)
{
    return problem + QStringLiteral(
                         ": stop the host's driver first (stm-flash needs the bus for "
                         "itself), then run stm-flash again");
}

}  // namespace

Bus::~Bus()
{
    if (lockFd >= 0)
        ::close(lockFd);
}

int Bus::take(const Options &o)
{
    simulated = !o.simbus.isEmpty();
    if (simulated) {
        device.reset(new BoardSimbus(o.simbus));
        if (!lock.lockFile(BoardSimbus::lockPath(o.simbus),
                           QStringLiteral("simulated bus \"") + o.simbus + QLatin1Char('"')) &&
            lock.busy())
            return Say::fail(stopTheDriver(lock.problem()));
        return 0;
    }
    if (!o.board.isEmpty() && !BoardConfigured::isKnownBoard(o.board))
        return Say::fail(QStringLiteral("-board takes ") +
                         BoardConfigured::knownBoardNames().join(QStringLiteral(" or ")));
    auto *configured = new BoardConfigured(o.board, o.spidev);
    configured->setClient("stm-flash", o.clockHz);
    const QString path = configured->spiNode();
    device.reset(configured);
    lockFd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (lockFd < 0)
        return Say::fail(QStringLiteral("cannot open the SPI node %1: %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (!lock.lock(lockFd, path)) {
        const QString why = lock.problem();
        ::close(lockFd);
        lockFd = -1;
        return Say::fail(stopTheDriver(why));
    }
    return 0;
}

void Bus::start()
{
    device->lib_init();
    if (!simulated)
        device->spi_init();
    device->gpio_init();
}

void Bus::stop()
{
    device->lib_deinit();
    device->spi_deinit();
}

}  // namespace StmFlash
