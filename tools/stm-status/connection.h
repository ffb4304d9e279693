#pragma once
// stm-status's side of the driver's status socket: one request, then the driver's answers, each
// a JSON object on a line. The driver's silences and refusals become the reasons stm-status
// gives its user.

#include <QByteArray>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

class Connection
{
public:
    static const int answerTimeoutMs = 5000;

    explicit Connection(const QString &path) : path(path) {}

    // Connects and sends `request` (a line without its end); false with why().
    bool ask(const QByteArray &request);
    // The next answer, and the line it came in; false with why() when the driver said nothing
    // in time or went away ("the driver on PATH " + `silence`), or answered with an error ("the
    // driver says: ...").
    bool answer(const char *silence, QJsonObject *doc, QByteArray *line = nullptr);
    const QString &why() const { return reason; }
    // The socket, for a stream that follows the answer (a capture).
    QLocalSocket &socket() { return local; }

    const QString path;

private:
    QLocalSocket local;
    QString reason;
};
