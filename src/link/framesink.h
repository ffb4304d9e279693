#pragma once
// Where the transfer loop hands what it received from a shield: a reply to a command, a new line
// event, and the audio of every long packet; and where it says that it lost a shield's link. The
// shield layer's parsers implement it; main wires them in. Called only from the transfer thread,
// inside a cycle, with the link mutex held: an implementation must not take that mutex, nor wait
// for anything that does.

#include <QByteArray>
#include <QtGlobal>

class SPIconnector;

class FrameSink
{
public:
    virtual ~FrameSink() = default;

    // A valid reply (ping reply, or the acknowledgement of the outstanding command).
    virtual void parser_command(quint8 shield, QByteArray frame, SPIconnector *link) = 0;
    // A valid event frame that does not repeat the shield's previous one.
    virtual void parser_event(quint8 shield, QByteArray frame, SPIconnector *link) = 0;
    // The whole 528-byte frame of a shield in long-packet mode, valid control part or not.
    virtual void parser_audio(quint8 shield, QByteArray frame) = 0;
    // The shield stopped answering and is taken out of service; called before the loop tells
    // the host so. Nothing by default.
    virtual void link_lost(quint8 shield) { Q_UNUSED(shield) }
};
