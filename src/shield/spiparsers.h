#pragma once
// The parsers of frames received from the shields. Owned by the transfer thread (it becomes a
// child of the transfer loop object and moves with it); only the transfer loop calls the parsers,
// from that thread and under the link mutex, and the drop watchdogs' slot runs there too. Its
// signals reach receivers in the main thread, queued. It keeps no state of its own besides the
// watchdogs: what it learns goes into the shield records (atomic fields) and the link records.

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

class SPIparsers : public QObject
{
    Q_OBJECT
public:
    static constexpr int shieldCount = 6;

    // Intervals are parameters so tests can use short ones; production passes the defaults.
    SPIparsers(Settings *settings, Stand *stand, SPIcommand *command, int dialWindowMs = 2000,
               quint8 dialLimit = 35, int dropIntervalMs = 420000);

    // A reply to a command: stores what the shield reports in its record and raises the
    // matching handshake flag. Unknown codes and shield addresses above 5 are ignored.
    void parser_command(quint8 shield, QByteArray frame, SPIconnector *link);
    // Writes the error line for an error code reported by a shield.
    void parser_error(quint32 code, quint8 shield);
    // A new line event: writes its line, drives the watchdogs, answers where the event asks for
    // it. Unknown codes and shield addresses above 5 are ignored.
    void parser_event(quint8 shield, QByteArray frame, SPIconnector *link);
    // Sends the audio block of a long packet on to UDP; a shorter frame carries no audio.
    void parser_audio(quint8 shield, QByteArray frame);

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
    // "3 " before a line's text with several shields served, else nothing.
    QString prefix(quint8 shield) const;
    // " 3" after a line's leading keyword with several shields served, else nothing.
    QString tag(quint8 shield) const;
    // Writes the prefix and the text as one line.
    void shieldLine(quint8 shield, const QString &text) const;
    void debugLine(quint8 shield, const QString &text) const;
    // A dial or key line: the keyword, the number from bytes 4-5 and, behind the address gate,
    // the address index.
    void numberLine(quint8 shield, const QString &keyword, const QByteArray &frame) const;

    Settings *settings;
    Stand *stand;  // kept for the test stand; no parser reads it
    SPIcommand *spiCommand;
    WatchDial *watchDial;
    std::array<WatchDrop *, shieldCount> watchDrop{};
};
