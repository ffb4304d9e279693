#include "console/consolescan.h"

#include "base/console.h"
#include "config/settings.h"
#include "link/callledger.h"
#include "link/spicommand.h"

#include <QFile>
#include <QIODevice>

#include <unistd.h>

ConsoleScan::ConsoleScan(SPIcommand *command, Settings *settings)
    : QObject(nullptr), command(command), settings(settings)
{
}

void ConsoleScan::cycle_scan()
{
    if (!input) {
        // Standard input through its descriptor, unbuffered: a line is read with read(2) up to
        // its end, so a NUL byte in it is data like any other. The stdio stream behind
        // Console::in reads lines with fgets, which cuts a line at its first NUL (the rest is
        // lost) and returns nothing for a line that begins with one, which looks like the end
        // of input.
        auto *file = new QFile(this);
        if (file->open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            input = file;
        } else {
            delete file;
            input = Console::in.device();
        }
    }
    QString line;
    while (readLine(&line))
        processLine(line);
    Console::err.line(QStringLiteral(
        "#WARNING: standard input closed: no more host commands are read, the driver goes on"));
}

bool ConsoleScan::readPiece(QByteArray *piece)
{
    for (;;) {
        // readLine() keeps one byte of its limit for a terminating zero.
        *piece = input->readLine(maxLineBytes + 3);
        if (!piece->isEmpty())
            return true;
        // Nothing at all: the end of input, or a device that cannot deliver any more.
        if (input->atEnd() || !input->waitForReadyRead(-1))
            return false;
    }
}

bool ConsoleScan::readLine(QString *line)
{
    QByteArray bytes;
    for (;;) {
        if (!readPiece(&bytes))
            return false;
        bool tooLong = false;
        if (!bytes.endsWith('\n') && bytes.size() >= maxLineBytes + 2) {
            // The piece filled up before the end of the line, so the line cannot be within the
            // limit even with "\r\n": drop the rest of it as it comes.
            tooLong = true;
            QByteArray rest;
            do {
                if (!readPiece(&rest)) {
                    reportLongLine();
                    return false;
                }
            } while (!rest.endsWith('\n'));
        } else {
            if (bytes.endsWith('\n'))
                bytes.chop(1);
            if (bytes.endsWith('\r'))
                bytes.chop(1);
            tooLong = bytes.size() > maxLineBytes;
        }
        if (tooLong) {
            reportLongLine();
            continue;
        }
        // With its length: the QByteArray overload would end the text at a NUL byte.
        *line = QString::fromUtf8(bytes.constData(), bytes.size());
        return true;
    }
}

void ConsoleScan::reportLongLine()
{
    Console::err.line(QStringLiteral("#ERROR: console line longer than ") +
                      QString::number(maxLineBytes) + QStringLiteral(" bytes discarded"));
}

bool ConsoleScan::parseUnsigned(const QString &word, quint32 *value)
{
    bool ok = false;
    *value = word.toUInt(&ok, 10);
    return ok;
}

void ConsoleScan::processLine(const QString &line)
{
    QStringList words = line.split(QLatin1Char(' '));
    quint8 shield = 0;
    if (settings->multiShield) {
        quint32 address = 0;
        if (words.size() < 2 || !parseUnsigned(words.first(), &address)) {
            Console::err.line(QStringLiteral("#ERROR: Отсутствует адрес шилда"));
            return;
        }
        address %= 256;
        if (address > settings->lastShield) {
            Console::err.line(QStringLiteral("#ERROR: Адреса шилда не существует"));
            return;
        }
        shield = static_cast<quint8>(address);
        words.removeFirst();
    }

    ShieldState &record = settings->shieldState[shield];
    if (record.getState() != ShieldState::STATE_ONLINE) {
        refuse(shield);
        return;
    }

    switch (record.getConsoleModeRead()) {
    case ShieldState::MODE_READ_VIRTUAL_LIST:
        if (mode_read_list(words, &record.virtualList) == -1) {
            record.setConsoleModeRead(ShieldState::MODE_READ_BLACK_LIST);
            Console::out.lines({settings->addressPrefix(shield) + QStringLiteral("mask_block"),
                                QStringLiteral("#Write blacklist rooms for shield") +
                                    settings->addressTag(shield) + QLatin1Char(':')});
        }
        break;
    case ShieldState::MODE_READ_BLACK_LIST:
        if (mode_read_list(words, &record.blackList) == -1) {
            record.asyncSendDialplan();
            record.setConsoleModeRead(ShieldState::MODE_READ_COMMAND);
            settings->supervisorWake.ring();
        }
        break;
    case ShieldState::MODE_READ_COMMAND: {
        const quint32 parsed = mode_read_command(words);
        command_spi_do(static_cast<quint8>(parsed & 0xFF), static_cast<quint16>(parsed >> 16),
                       shield);
        break;
    }
    }
}

quint32 ConsoleScan::mode_read_command(QStringList words)
{
    const auto pack = [](quint32 code, quint32 argument) {
        return (argument & 0xFFFF) << 16 | (code & 0xFFFF);
    };
    quint32 n = 0;
    const bool numeric = !words.isEmpty() && parseUnsigned(words.first(), &n);
    if (numeric && words.size() == 1) {
        // One number: its first decimal digit is the code, the other digits the argument.
        const quint32 m = n % 256;
        if (m <= 9)
            return pack(m, noArgument);
        if (m <= 99)
            return pack(m / 10, (n % 65536) % 10);
        return pack(m / 100, (n % 65536) % 100);
    }
    if (numeric && words.size() == 2) {
        quint32 a = 0;
        return parseUnsigned(words.at(1), &a) ? pack(n % 65536, a % 65536) : pack(NONE, 0);
    }

    const QString keyword = words.value(0);
    const auto numberAt = [&words](int i, quint32 modulo) {
        quint32 value = 0;
        return (i < words.size() && parseUnsigned(words.at(i), &value)) ? value % modulo : 0u;
    };
    if (keyword == QLatin1String("pickup"))
        return pack(PICKUP, 0);
    if (keyword == QLatin1String("open"))
        return words.size() < 2 ? pack(OPEN, defaultDoor) : pack(OPEN, numberAt(1, 256));
    if (keyword == QLatin1String("drop"))
        return pack(DROP, 0);
    if (keyword == QLatin1String("dial"))
        return pack(DIAL, numberAt(1, 65536));
    if (keyword == QLatin1String("dialplan"))
        return pack(DIALPLAN, 0);
    if (keyword == QLatin1String("phonedetect"))
        return pack(PHONE_DETECT, numberAt(1, 65536));
    return pack(NONE, 0);
}

void ConsoleScan::refuse(quint8 shield)
{
    Console::out.line(QStringLiteral("#WARNING: Address ") + QString::number(shield) +
                      QStringLiteral(" not available for command"));
}

void ConsoleScan::command_spi_do(quint8 code, quint16 argument, quint8 shield)
{
    // The calls the host opens and ends are told in one step with the check of the shield's
    // service: a shield lost since the check above refuses them, as that check would have.
    switch (code) {
    case PICKUP:
        if (calls && !calls->hostOpen(shield))
            return refuse(shield);
        command->command_pickup(shield);
        command->command_audio_play(shield, true);
        break;
    case OPEN:
        command->command_open(shield, argument == noArgument ? defaultDoor
                                                             : static_cast<quint8>(argument % 256));
        break;
    case DROP:
        // The host ends the call itself: no "drop" line is due for it.
        if (calls && !calls->hostDrop(shield))
            return refuse(shield);
        command->command_audio_play(shield, false);
        command->command_drop(shield);
        break;
    case DIAL:
        if (calls && !calls->hostOpen(shield))
            return refuse(shield);
        command->command_dial(shield, argument);
        break;
    case PHONE_DETECT:
        command->command_phone_detect(shield, argument);
        break;
    case DIALPLAN:
        settings->shieldState[shield].setConsoleModeRead(ShieldState::MODE_READ_VIRTUAL_LIST);
        Console::out.lines({settings->addressPrefix(shield) + QStringLiteral("mask_imit"),
                            QStringLiteral("#Write rooms for shield") + settings->addressTag(shield) +
                                QLatin1Char(':')});
        break;
    case SET_INTERCOM: {
        const auto intercom = static_cast<quint8>(argument % 256);
        settings->set_shield_intercom(shield, intercom);
        command->command_set_intercom(shield, intercom);
        break;
    }
    default:
        break;
    }
}

int ConsoleScan::mode_read_list(QStringList words, ShieldState::ApartmentList *list)
{
    bool ok = false;
    const qlonglong number = words.size() == 1 ? words.first().toLongLong(&ok, 10) : 0;
    if (!ok) {
        Console::err.line(QStringLiteral("#ERROR: Ошибка ввода квартиры"));
        return 0;
    }
    const auto apartment = static_cast<qint16>(static_cast<quint16>(number & 0xFFFF));
    if (apartment < 0) {
        Console::out.lines({QStringLiteral("#End read rooms"), QString()});
        return -1;
    }
    if (apartment > ShieldState::lastApartment) {
        Console::out.line(QStringLiteral("Error: big number"));
        return 0;
    }
    ShieldState::addApartment(*list, static_cast<quint16>(apartment));
    return 0;
}
