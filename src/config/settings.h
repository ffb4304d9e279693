#pragma once
// The driver's options and the six shield records. Filled once by the main thread from the
// command line, then read by every thread. Only the shield records and, through
// set_shield_intercom (console thread), the intercom indexes and gate flags change afterwards;
// those are atomic.

#include "base/gridtimer.h"
#include "base/shieldcount.h"
#include "base/statuspath.h"
#include "board/board.h"
#include "config/shieldstate.h"
#include "config/wav_reader.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>

class Settings
{
public:
    // How parsing the command line ends: go on with start-up, or end the process.
    enum class ParseResult { Run, ExitOk, ExitError };

    Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    // Parses the command line; ends the process on "-v" (status 0) and on a start-up error
    // (status 1).
    void parser_param(int argc, char **argv);
    // The same on a word list (position 0: the program path), reporting instead of exiting.
    ParseResult parse(const QStringList &words);

    // The intercom index for one shield: its own option, else "-ic", else 10 with a warning.
    quint8 get_intercom_from_list_arg(QStringList list, quint8 shield);
    // Stores the index and switches the shield's address gate by the supported list.
    void set_shield_intercom(quint8 shield, quint8 intercom);

    // How a host line names its shield when several are served: the address prefix before the
    // text ("3 busy") and the address tag after a leading keyword ("#ERROR 3: ..."). With one
    // shield both are empty.
    QString addressPrefix(quint8 shield) const;
    QString addressTag(quint8 shield) const;
    // The chip-select levels of this configuration (see Board).
    quint8 selectLevel() const { return Board::selectLevel(multiShield); }
    quint8 releaseLevel() const { return Board::releaseLevel(multiShield); }

    std::array<ShieldState, maxShields> shieldState;
    // The supervisor sleeps until its own next work is due; a thread that changes what it waits
    // for in a shield record (a reply's flag, a lost link, a push request) rings this line after
    // the change, and the supervisor looks at the records at its next tick.
    WakeLine supervisorWake;
    std::array<std::atomic<quint8>, maxShields> intercomIndex{};
    quint8 spi = 0;
    bool multiShield = false;
    quint8 shieldCount = 1;
    quint8 lastShield = 0;
    bool maskPhone = false;
    QList<quint8> supportedIntercoms;
    bool wav = false;
    QString wavFileName;
    WAV_Reader wavReader;
    QStringList intercomOptions;

    // Where the shields are reached: the board's own pins (boardName, empty to take it from the
    // device tree; spidevPath), the simulated bus at simbusPath, or shields emulated inside the
    // driver.
    bool emulate = false;
    bool simbus = false;
    QString simbusPath;
    QString boardName;
    QString spidevPath;

    // The status socket's path; empty: no status socket ("-status none").
    QString statusPath = QString::fromLatin1(defaultStatusPath);

    // The real-time priority of the transfer thread (-rtprio N, 1 to 99); 0: normal priority.
    int rtprio = 0;

    // The shield bus clock (-spi-hz N), for boards whose shields take a faster one than the
    // usual; it sets how many audio packets fit one transfer cycle.
    static constexpr quint32 lowestSpiHz = 100000;
    static constexpr quint32 highestSpiHz = 50000000;
    quint32 spiHz = Board::defaultSpiHz;

private:
    static int indexOf(const QStringList &list, const QString &word);
    // The word after an option as an unsigned decimal number; false when absent or no number.
    static bool numberAfter(const QStringList &list, int position, quint32 *value);
    static QString wordAfter(const QStringList &list, const QString &option);
};
