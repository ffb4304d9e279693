#pragma once
// The host's command reader: reads standard input line by line, works out the shield of each
// line and executes it as a command (through the command builder) or, while an apartment list is
// loaded, stores it in the shield's record. Lives in its own thread, which it occupies while it
// reads; the shield records and the command builder's queues are safe to use from there.

#include "config/shieldstate.h"

#include <QObject>
#include <QStringList>

class CallLedger;
class QIODevice;
class Settings;
class SPIcommand;

class ConsoleScan : public QObject
{
    Q_OBJECT

public:
    // Command codes of console lines.
    enum Code : quint8 {
        NONE = 0,
        PICKUP = 1,
        OPEN = 2,
        DROP = 3,
        DIAL = 4,
        PHONE_DETECT = 5,
        DIALPLAN = 6,
        SET_INTERCOM = 7,
    };
    static constexpr quint16 noArgument = 0xFFFF;
    static constexpr quint8 defaultDoor = 3;
    // A line longer than this is discarded whole, so memory stays bounded whatever the host
    // writes.
    static constexpr int maxLineBytes = 4096;

    ConsoleScan(SPIcommand *command, Settings *settings);

    // Reads from this device instead of standard input (tools and tests): a buffer, or a device
    // whose reads block until a whole line or the end of input, as standard input does.
    void setInput(QIODevice *device) { input = device; }
    // Where the host's pickups, dials and drops are told, so the calls they open or end are known
    // (none when not set).
    void setCalls(CallLedger *ledger) { calls = ledger; }
    // Executes one line as read from the host, without its end-of-line.
    void processLine(const QString &line);

    // Code in the low 16 bits, argument in the high 16 bits.
    quint32 mode_read_command(QStringList words);
    void command_spi_do(quint8 code, quint16 argument, quint8 shield);
    // One apartment number of a list: -1 when the line ended the list, 0 otherwise.
    int mode_read_list(QStringList words, ShieldState::ApartmentList *list);

public Q_SLOTS:
    // Reads and executes lines until standard input ends, then stops reading (the driver goes on).
    void cycle_scan();

private:
    // The next line without its end-of-line; false at the end of input. Over-long lines are
    // reported and skipped.
    bool readLine(QString *line);
    // The next piece of a line: up to maxLineBytes + 2 bytes, ending with "\n" unless the line
    // goes on or the input ended without one; false at the end of input.
    bool readPiece(QByteArray *piece);
    void reportLongLine();
    // Tells the host that the shield is out of service and its command is not carried out.
    static void refuse(quint8 shield);
    static bool parseUnsigned(const QString &word, quint32 *value);

    SPIcommand *command;
    Settings *settings;
    CallLedger *calls = nullptr;
    QIODevice *input = nullptr;
};
