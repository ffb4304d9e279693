#include "config/settings.h"

#include "base/console.h"
#include "base/realtime.h"
#include "base/version.h"
#include "board/boardconfigured.h"

#include <cstdlib>

namespace {
const quint8 defaultIntercom = 10;
}

Settings::Settings()
{
    wavFileName.clear();
    spi = 0;
    wav = false;
    for (auto &index : intercomIndex)
        index = 0;
    for (auto &record : shieldState) {
        record.to_null();
        record.setState(ShieldState::STATE_OFFLINE);
        for (int w = 0; w < 32; ++w) {
            record.virtualList[w] = 0;
            record.blackList[w] = 0;
        }
    }
    for (int s = 0; s < maxShields; ++s)
        intercomOptions << QStringLiteral("-ic%1").arg(s);
    supportedIntercoms << 136 << 119 << 143 << 48 << 47 << 137 << 118 << 111;
}

void Settings::parser_param(int argc, char **argv)
{
    QStringList words;
    if (argc > 1) {
        for (int i = 0; i < argc; ++i)
            words << QString::fromLocal8Bit(argv[i]);
    }
    switch (parse(words)) {
    case ParseResult::Run:
        return;
    case ParseResult::ExitOk:
        std::exit(0);
    case ParseResult::ExitError:
        std::exit(1);
    }
}

Settings::ParseResult Settings::parse(const QStringList &list)
{
    if (indexOf(list, QStringLiteral("-v")) >= 0) {
        Console::out.line(QStringLiteral("KVT_STM_Driver: v") + QLatin1String(driverVersion));
        return ParseResult::ExitOk;
    }

    multiShield = indexOf(list, QStringLiteral("-multishield")) >= 0;
    shieldCount = multiShield ? maxShields : 1;
    lastShield = multiShield ? maxShields - 1 : 0;

    for (quint8 s = 0; s <= lastShield; ++s)
        set_shield_intercom(s, get_intercom_from_list_arg(list, s));

    maskPhone = indexOf(list, QStringLiteral("-maskphone")) >= 0 ||
                indexOf(list, QStringLiteral("-maskoff")) >= 0;

    const int spiAt = indexOf(list, QStringLiteral("-spi"));
    if (spiAt >= 0) {
        quint32 value = 0;
        if (!numberAfter(list, spiAt, &value)) {
            Console::err.line(QStringLiteral("#ERROR: Unknown parameters"));
            return ParseResult::ExitError;
        }
        spi = (value & 0xFF) == 1 ? 1 : 0;
    }

    if (indexOf(list, QStringLiteral("-adrgate")) >= 0) {
        for (quint8 s = 0; s <= lastShield; ++s)
            shieldState[s].setFlagAdrGate(true);
    }

    wav = indexOf(list, QStringLiteral("-wav")) >= 0;
    if (wav) {
        wavFileName = wordAfter(list, QStringLiteral("-wav"));
        const int result = wavReader.OpenFILE(wavFileName);
        Console::err.line(QStringLiteral("#WAV: Результат открытия файла: ") +
                          QString::number(result));
        if (result > 0) {
            Console::err.line(QStringLiteral("#WAV: Ошибка открытия файла"));
            return ParseResult::ExitError;
        }
        Console::err.line(QStringLiteral("WAV: Файл открыт успешно"));
    }

    emulate = indexOf(list, QStringLiteral("-emulate")) >= 0;
    simbus = indexOf(list, QStringLiteral("-simbus")) >= 0;
    if (simbus)
        simbusPath = wordAfter(list, QStringLiteral("-simbus"));
    if (indexOf(list, QStringLiteral("-board")) >= 0) {
        boardName = wordAfter(list, QStringLiteral("-board"));
        if (!BoardConfigured::isKnownBoard(boardName)) {
            Console::err.line(QStringLiteral("#ERROR: Unknown board \"") + boardName +
                              QStringLiteral("\" after -board; known boards: ") +
                              BoardConfigured::knownBoardNames().join(QStringLiteral(", ")));
            return ParseResult::ExitError;
        }
    }
    if (indexOf(list, QStringLiteral("-spidev")) >= 0)
        spidevPath = wordAfter(list, QStringLiteral("-spidev"));

    statusPath = QString::fromLatin1(defaultStatusPath);
    if (indexOf(list, QStringLiteral("-status")) >= 0) {
        const QString word = wordAfter(list, QStringLiteral("-status"));
        if (word == QLatin1String("none")) {
            statusPath.clear();
        } else if (word.isEmpty() || word.startsWith(QLatin1Char('-'))) {
            // No path, or the next option: a socket named "-multishield" would help nobody.
            statusPath.clear();
            Console::err.line(QStringLiteral("#WARNING: No path after -status: no status socket"));
        } else {
            statusPath = word;
        }
    }

    rtprio = 0;
    if (indexOf(list, QStringLiteral("-rtprio")) >= 0) {
        const QString word = wordAfter(list, QStringLiteral("-rtprio"));
        rtprio = RealTime::parse(word);
        if (rtprio == 0) {
            // Timing is a matter of quality, not of function: the driver runs on without it.
            Console::err.line(QStringLiteral("#WARNING: -rtprio takes a priority from %1 to %2, "
                                             "not \"%3\": running at normal priority")
                                  .arg(RealTime::lowest)
                                  .arg(RealTime::highest)
                                  .arg(word));
        }
    }

    spiHz = Board::defaultSpiHz;
    const int spiHzAt = indexOf(list, QStringLiteral("-spi-hz"));
    if (spiHzAt >= 0) {
        // A clock the shields cannot follow garbles every frame: better not to start at all.
        quint32 value = 0;
        if (!numberAfter(list, spiHzAt, &value) || value < lowestSpiHz || value > highestSpiHz) {
            Console::err.line(QStringLiteral("#ERROR: -spi-hz takes the SPI clock in Hz, from "
                                             "%1 to %2, not \"%3\"")
                                  .arg(lowestSpiHz)
                                  .arg(highestSpiHz)
                                  .arg(wordAfter(list, QStringLiteral("-spi-hz"))));
            return ParseResult::ExitError;
        }
        spiHz = value;
    }

    return ParseResult::Run;
}

quint8 Settings::get_intercom_from_list_arg(QStringList list, quint8 shield)
{
    quint32 value = 0;
    const int own = indexOf(list, intercomOptions.value(shield));
    if (own > 0 && numberAfter(list, own, &value))
        return static_cast<quint8>(value & 0xFF);
    const int common = indexOf(list, QStringLiteral("-ic"));
    if (common > 0 && numberAfter(list, common, &value))
        return static_cast<quint8>(value & 0xFF);
    Console::out.line(QStringLiteral("#WARNING: No intercom select for shield ") +
                      QString::number(shield));
    return defaultIntercom;
}

void Settings::set_shield_intercom(quint8 shield, quint8 intercom)
{
    if (shield >= maxShields)
        return;
    intercomIndex[shield] = intercom;
    if (supportedIntercoms.contains(intercom)) {
        shieldState[shield].setFlagAdrGate(true);
        Console::out.line(QStringLiteral("#Intercom ") + QString::number(intercom) +
                          QStringLiteral(" supported indexes for shield ") +
                          QString::number(shield));
    } else {
        shieldState[shield].setFlagAdrGate(false);
    }
}

QString Settings::addressPrefix(quint8 shield) const
{
    return multiShield ? QString::number(shield) + QLatin1Char(' ') : QString();
}

QString Settings::addressTag(quint8 shield) const
{
    return multiShield ? QLatin1Char(' ') + QString::number(shield) : QString();
}

int Settings::indexOf(const QStringList &list, const QString &word)
{
    return list.indexOf(word);
}

bool Settings::numberAfter(const QStringList &list, int position, quint32 *value)
{
    if (position < 0 || position + 1 >= list.size())
        return false;
    bool ok = false;
    *value = list.at(position + 1).toUInt(&ok, 10);
    return ok;
}

QString Settings::wordAfter(const QStringList &list, const QString &option)
{
    const int at = indexOf(list, option);
    return (at >= 0 && at + 1 < list.size()) ? list.at(at + 1) : QString();
}
