#pragma once
// The driver's status socket as a client sees it: a connection with the reason when there is
// none, and the answer's lines with a time limit. What to ask and how to read the answers is the
// tool's.

#include <QByteArray>
#include <QLocalSocket>
#include <QString>

namespace DriverSocket {

// Connects `socket` to the driver at `path`; false with why: "no driver answers on PATH (...)",
// the reason in the terms of a technician (no socket, nobody listening, no permission).
bool connect(QLocalSocket &socket, const QString &path, int timeoutMs, QString *why);

// The next line of the answer, without its end; empty when the driver went away or said nothing
// for `timeoutMs` (below 0: as long as it stays connected).
QByteArray readLine(QLocalSocket &socket, int timeoutMs);

}  // namespace DriverSocket
