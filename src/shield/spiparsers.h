#pragma once
// The parsers of frames received from the shields. The object and its watchdogs live in the
// thread that created them (the main thread in the driver) for the whole process, so a link
// restart, which stops the transfer thread, leaves the watchdogs running. Only the transfer loop
// calls the three parsers, from the transfer thread and under the link mutex; their signals reach
// main-thread receivers queued. emergency_drop() runs in the owning thread. It keeps no state of
// its own besides the watchdogs and the call ledger: what it learns goes into the shield records
// (atomic fields) and the link records.

#include "base/shieldcount.h"
#include "link/framesink.h"
#include "link/callledger.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include <array>

class Settings;
class SPIcommand;
class SPIconnector;
class Stand;
class WatchDial;
class WatchDrop;

class SPIparsers : public QObject, public FrameSink
{
    Q_OBJECT
public:
    // Intervals are parameters so tests can use short ones; production passes the defaults.
    SPIparsers(Settings *settings, Stand *stand, SPIcommand *command, int dialWindowMs = 2000,
               quint8 dialLimit = 35, int dropIntervalMs = 420000);

    // A reply to a command: stores what the shield reports in its record and raises the
    // matching handshake flag. Unknown codes and shield addresses above 5 are ignored.
    void parser_command(quint8 shield, QByteArray frame, SPIconnector *link) override;
    // Writes the error line for an error code reported by a shield.
    void parser_error(quint32 code, quint8 shield);
    // A new line event: writes its line, drives the watchdogs, answers where the event asks for
    // it. Unknown codes and shield addresses above 5 are ignored.
    void parser_event(quint8 shield, QByteArray frame, SPIconnector *link) override;
    // Sends the audio block of a long packet on to UDP; a shorter frame carries no audio.
    void parser_audio(quint8 shield, QByteArray frame) override;
    // The shield's link is lost: its call is over, and the host hears "drop" if it knew of one.
    void link_lost(quint8 shield) override;

    // The calls the host knows of; the host's commands and the link restart tell it too.
    CallLedger *calls() { return &callLedger; }
    WatchDial *getWatchDial() { return watchDial; }
    WatchDrop *getWatchDrop(quint8 shield);

Q_SIGNALS:
    void play_sound(bool value, quint8 addressShield);
    void udp_write(quint8 addressShield, QByteArray data);
    void emergency_restart();

public Q_SLOTS:
    // A hang-up never came after a dial: reports the calls in progress as over, stops their
    // audio and asks for a restart of the link to all shields.
    void emergency_drop();

private:
    // Writes the prefix and the text as one line.
    void shieldLine(quint8 shield, const QString &text) const;
    void debugLine(quint8 shield, const QString &text) const;
    // A dial or key line: the keyword, the number from bytes 4-5 and, behind the address gate,
    // the address index.
    QString numberText(quint8 shield, const QString &keyword, const QByteArray &frame) const;

    Settings *settings;
    Stand *stand;  // kept for the test stand; no parser reads it
    SPIcommand *spiCommand;
    WatchDial *watchDial;
    std::array<WatchDrop *, maxShields> watchDrop{};
    CallLedger callLedger;
};
