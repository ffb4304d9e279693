#include "common/driversocket.h"

#include <QElapsedTimer>

bool DriverSocket::connect(QLocalSocket &socket, const QString &path, int timeoutMs, QString *why)
{
    socket.connectToServer(path);
    if (socket.waitForConnected(timeoutMs))
        return true;
    QString reason;
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        reason = QStringLiteral("no socket there: is the driver running, with -status?");
        break;
    case QLocalSocket::ConnectionRefusedError:
        reason = QStringLiteral("nobody listens there: the driver has ended");
        break;
    case QLocalSocket::SocketAccessError:
        reason = QStringLiteral("no permission: are you a member of the group stm-driver?");
        break;
    default:
        reason = socket.errorString();
        break;
    }
    *why = QStringLiteral("no driver answers on ") + path + QStringLiteral(" (") + reason +
           QLatin1Char(')');
    return false;
}

QByteArray DriverSocket::readLine(QLocalSocket &socket, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!socket.canReadLine()) {
        const int left = timeoutMs < 0 ? 1000 : timeoutMs - static_cast<int>(clock.elapsed());
        if (left <= 0 || socket.state() != QLocalSocket::ConnectedState)
            return QByteArray();
        socket.waitForReadyRead(left);
    }
    return socket.readLine().trimmed();
}
