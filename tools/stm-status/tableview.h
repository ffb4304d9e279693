#pragma once
// The technician's table, or the driver's document as it comes: one row per shield of the driver's
// status document, with the driver's own lines above it and, below it, what needs a word (a shield
// stuck in its bootloader, the audio of a call, a bus too full for its calls).

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QString>

// Errors (TX and RX) per minute: over the time since the previous document when there is one,
// else over the driver's whole run.
class ErrorRate
{
public:
    QString rate(int address, qint64 errors, qint64 uptime);
    void documentDone();

private:
    QMap<int, qint64> previous;
    QMap<int, qint64> next;
    QElapsedTimer clock;
};

QString table(const QJsonObject &doc, ErrorRate &rates);

// Asks the driver at `path` and prints its table, or with `json` its document as it comes; with
// `watch`, every second until stopped. The exit status: 1 when no driver answers, or it stops.
int showStatus(const QString &path, bool watch, bool json);
