#include "stm-status/connection.h"

#include "common/driversocket.h"

#include <QJsonDocument>

bool Connection::ask(const QByteArray &request)
{
    if (!DriverSocket::connect(local, path, answerTimeoutMs, &reason))
        return false;
    local.write(request + '\n');
    local.waitForBytesWritten(answerTimeoutMs);
    return true;
}

bool Connection::answer(const char *silence, QJsonObject *doc, QByteArray *line)
{
    const QByteArray text = DriverSocket::readLine(local, answerTimeoutMs);
    *doc = QJsonDocument::fromJson(text).object();
    if (line)
        *line = text;
    if (text.isEmpty())
        reason =
            QStringLiteral("the driver on ") + path + QLatin1Char(' ') + QLatin1String(silence);
    else if (doc->contains(QStringLiteral("error")))
        reason =
            QStringLiteral("the driver says: ") + doc->value(QStringLiteral("error")).toString();
    else
        return true;
    return false;
}
