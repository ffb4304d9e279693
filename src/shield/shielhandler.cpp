#include "shield/shielhandler.h"

#include "base/console.h"
#include "base/gridtimer.h"
#include "config/settings.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"

#include <algorithm>

namespace {

// Ticks until a ping count that moves on by one each tick and wraps at `period` stands at 0 when
// a tick begins: the tick that sends.
quint64 ticksToPing(int count, int period)
{
    return count == 0 ? 1 : static_cast<quint64>(period - count + 1);
}

// Ticks until a count of ticks in a wait reaches `limit`: the tick that ends the wait.
quint64 ticksToEnd(int count, int limit)
{
    return static_cast<quint64>(std::max(1, limit - count));
}

}  // namespace

ShielHandler::ShielHandler(QObject *parent, Settings *settings, SPIcommand *command,
                           SPIconnector **linkRecords, PiMutex *linkMutex, Board *board)
    : QObject(parent), command(command), settings(settings), linkMutex(linkMutex), board(board)
{
    for (size_t i = 0; i < links.size(); ++i)
        links[i] = linkRecords[i];
    for (ShieldState &record : settings->shieldState)
        record.setState(ShieldState::STATE_OFFLINE);
}

void ShielHandler::main_func()
{
    for (uchar s = 0; s <= settings->lastShield; ++s) {
        switch (settings->shieldState[s].getState()) {
        case ShieldState::STATE_ONLINE:
            process_online(s);
            break;
        case ShieldState::STATE_INIT:
            process_init(s);
            break;
        case ShieldState::STATE_OFFLINE:
            process_offline(s);
            break;
        }
    }
}

quint64 ShielHandler::ticksUntilDue()
{
    quint64 due = GridTimer::never;
    for (uchar s = 0; s <= settings->lastShield; ++s) {
        const ShieldState &record = settings->shieldState[s];
        sleptState[s] = record.getState();
        sleptStep[s] = record.step;
        due = std::min(due, ticksUntilDue(s));
    }
    return due;
}

quint64 ShielHandler::ticksUntilDue(uchar shield) const
{
    const ShieldState &record = settings->shieldState[shield];
    const bool lost = links[shield]->get_skip_flag();
    switch (record.getState()) {
    case ShieldState::STATE_OFFLINE:
        if (record.step == 1)
            return ticksToEnd(record.tickCount, waitBeforeInitTicks);
        if (lost || record.ping1Response)
            return 1;
        return ticksToPing(ping1Count[shield], ping1Ticks);
    case ShieldState::STATE_INIT:
        if (record.step != 1 || record.hasAllStateResponseFlag())
            return 1;
        return ticksToEnd(record.tickCount, initTimeoutTicks);
    case ShieldState::STATE_ONLINE:
        if (lost || record.lostInit || record.hasSendDialplan() ||
            (record.step == 1 && record.virtualListAck) ||
            (record.step == 2 && record.blackListAck))
            return 1;
        // No second ping before the last one is answered.
        if (ping2Count[shield] == 0 && !record.ping2Response)
            return GridTimer::never;
        return ticksToPing(ping2Count[shield], ping2Ticks);
    }
    return 1;
}

void ShielHandler::skipTicks(quint64 ticks)
{
    // Each count moves on as the ticks since the last one would have moved it, in the state the
    // shield was in when the supervisor went to sleep (the ticks skipped all came before the
    // change that woke it), but never past its own next due tick.
    const auto moved = [ticks](int count, quint64 due) {
        return count + static_cast<int>(std::min(ticks, due - 1));
    };
    for (uchar s = 0; s <= settings->lastShield; ++s) {
        ShieldState &record = settings->shieldState[s];
        const ShieldState::State state = sleptState[s];
        if (sleptStep[s] == 1 && state != ShieldState::STATE_ONLINE) {
            // A wait counted in the record; the transfer loop may have ended it since (a lost
            // link), which started the count anew.
            const int limit =
                state == ShieldState::STATE_OFFLINE ? waitBeforeInitTicks : initTimeoutTicks;
            if (record.getState() == state && record.step == 1)
                record.tickCount = moved(record.tickCount, ticksToEnd(record.tickCount, limit));
        } else if (state == ShieldState::STATE_OFFLINE) {
            std::atomic<int> &count = ping1Count[s];
            count = moved(count, ticksToPing(count, ping1Ticks)) % ping1Ticks;
        } else if (state == ShieldState::STATE_ONLINE && ping2Count[s] != 0) {
            // At 0 the second ping is due, or waits for the last one's answer without counting.
            std::atomic<int> &count = ping2Count[s];
            count = moved(count, ticksToPing(count, ping2Ticks)) % ping2Ticks;
        }
    }
}

void ShielHandler::sendPing1(int shield)
{
    ShieldState &record = settings->shieldState[shield];
    std::atomic<int> &count = ping1Count[static_cast<size_t>(shield)];
    if (count == 0) {
        record.ping1Response = false;
        command->command_ping_1(static_cast<quint8>(shield));
    }
    if (++count >= ping1Ticks)
        count = 0;
}

void ShielHandler::sendPing2(int shield)
{
    ShieldState &record = settings->shieldState[shield];
    std::atomic<int> &count = ping2Count[static_cast<size_t>(shield)];
    if (count == 0) {
        // No new second ping until the last one is answered.
        if (!record.ping2Response)
            return;
        record.ping2Response = false;
        command->command_ping_2(static_cast<quint8>(shield));
    }
    if (++count >= ping2Ticks)
        count = 0;
}

void ShielHandler::process_offline(uchar shield)
{
    ShieldState &record = settings->shieldState[shield];
    if (record.step == 1) {
        if (++record.tickCount > waitBeforeInitTicks - 1)
            record.setState(ShieldState::STATE_INIT);
        return;
    }
    if (links[shield]->get_skip_flag())
        cleanLink(shield);
    sendPing1(shield);
    if (record.ping1Response) {
        record.ping1Response = false;
        record.step = 1;
    }
}

void ShielHandler::cleanLink(uchar shield)
{
    SPIconnector *link = links[shield];
    std::lock_guard<PiMutex> lock(*linkMutex);
    link->rx_frame.clear();
    link->command_queue->clear();
    link->event_ack_queue->clear();
    link->direct_queue->clear();
    link->out_error->to_null();
    link->in_error->to_null();
    link->set_skip_flag(false);
    link->set_long_packet(false);
    Q_EMIT play_sound(false, shield);
}

void ShielHandler::process_init(uchar shield)
{
    ShieldState &record = settings->shieldState[shield];
    if (record.step != 1) {
        record.to_null();
        {
            // A host command taken just as the link was lost can be queued after the link was
            // cleaned: it must not reach the shield that has started afresh.
            std::lock_guard<PiMutex> lock(*linkMutex);
            links[shield]->command_queue->clear();
        }
        command->command_first(shield);
        record.step = 1;
        return;
    }
    if (record.hasAllStateResponseFlag()) {
        record.setState(ShieldState::STATE_ONLINE);
        sendToConsoleKvtaShieldInfo(shield);
        record.asyncSendDialplan();
        return;
    }
    if (++record.tickCount > initTimeoutTicks - 1)
        record.setState(ShieldState::STATE_OFFLINE);
}

void ShielHandler::process_online(uchar shield)
{
    ShieldState &record = settings->shieldState[shield];
    SPIconnector *link = links[shield];
    sendPing2(shield);
    if (record.lostInit)
        link->set_skip_flag(true);
    if (link->get_skip_flag()) {
        // Offline before the lost initialisation is forgotten: the host's commands for the
        // shield stay refused throughout.
        record.setState(ShieldState::STATE_OFFLINE);
        record.lostInit = false;
        return;
    }
    if (record.isSendDialplan()) {
        record.step = 1;
        countSendDialplan[shield] = 0;
        pointToDialplan[shield] = &record.virtualList;
        if (!record.virtualListAck)
            return;
        record.virtualListAck = false;
        command->command_update_16bit_virtuallist(shield, 0,
                                                  ShieldState::listWord16(record.virtualList, 0));
        countSendDialplan[shield] = 1;
        return;
    }
    if (record.step == 1)
        pushList(shield, true);
    else if (record.step == 2)
        pushList(shield, false);
}

void ShielHandler::pushList(uchar shield, bool virtualList)
{
    ShieldState &record = settings->shieldState[shield];
    std::atomic<bool> &ack = virtualList ? record.virtualListAck : record.blackListAck;
    if (!ack)
        return;
    quint16 &k = countSendDialplan[shield];
    if (k >= ShieldState::listWords16) {
        Console::out.line(QStringLiteral("#Shield") + settings->addressTag(shield) +
                          (virtualList ? QStringLiteral(" update virtual list")
                                       : QStringLiteral(" update black list")));
        k = 0;
        pointToDialplan[shield] = virtualList ? &record.blackList : &record.virtualList;
        record.step = virtualList ? 2 : 0;
        return;
    }
    ack = false;
    const quint16 word = ShieldState::listWord16(*pointToDialplan[shield], k);
    if (virtualList)
        command->command_update_16bit_virtuallist(shield, k, word);
    else
        command->command_update_16bit_blacklist(shield, k, word);
    ++k;
}

void ShielHandler::sendToConsoleKvtaShieldInfo(int shield)
{
    // One block, so that no event line of another thread splits it.
    const ShieldState &record = settings->shieldState[shield];
    QStringList block;
    if (settings->multiShield)
        block << QStringLiteral("Address: ") + QString::number(shield);
    block << QStringLiteral("Intercom: ") + QString::number(record.getIntercom());
    block << QStringLiteral("Program_STM: ") + QString::number(record.getFirmware());
    if (record.getBeta() != 0) {
        block << QStringLiteral("Beta: ") + QString::number(record.getBeta());
        block << QStringLiteral("#WARNING: ZORV not for release!");
    }
    block << QStringLiteral("Shield: ") + QString::number(record.getShield());
    block << QStringLiteral("Revision: ") + QString::number(record.getRevision());
    block << QStringLiteral("ID: ") + QString::number(record.getId_0(), 16) +
                 QString::number(record.getId_1(), 16) + QString::number(record.getId_2(), 16);
    block << QString();
    block << settings->addressPrefix(shield) + QStringLiteral("shield_ready") << QString();
    Console::out.lines(block);
}
