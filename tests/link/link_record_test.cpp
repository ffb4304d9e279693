// The link record of one shield: toggle bit, stop-and-wait delivery with time-out and link loss,
// repeat detection of events, the long-packet counter and the frame queues.
#include "link/datatransmission.h"
#include "link/frame.h"
#include "link/spiconnector.h"
#include "link/spiinerrorcontroller.h"
#include "link/spiouterrorcontroller.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Out = SpiOutErrorController;

// What the transfer loop does with a new command: toggle bit on byte 0, then remember it.
QByteArray sendNew(Out &out, quint8 code)
{
    QByteArray frame = Frame::compose(code, 0, 0, 0, 0);
    frame[0] = static_cast<char>(out.set_bit_order(Frame::start0(frame)));
    out.transmit_buffr(frame);
    return frame;
}

QByteArray reply(quint8 start, quint8 code)
{
    QByteArray frame = Frame::compose(code, 0, 0, 0, 0);
    frame[0] = static_cast<char>(start);
    return frame;
}

// Brings a controller to TX_WAIT_REPLY with one command outstanding.
QByteArray outstanding(Out &out, quint8 code = 0x13)
{
    EXPECT_EQ(out.get_type_translate(true), Out::SEND_NEW);
    return sendNew(out, code);
}

}  // namespace

// --- Toggle bit ------------------------------------------------------------------------------

TEST(ToggleBit, AlternatesFromSetAfterFreshAndResetRecords)
{
    SPIconnector link;
    const std::vector<quint8> expected{0x8A, 0x0A, 0x8A, 0x0A, 0x8A};
    for (int round = 0; round < 3; ++round) {
        std::vector<quint8> seen;
        for (size_t i = 0; i < expected.size(); ++i)
            seen.push_back(link.out_error->set_bit_order(0x0A));
        EXPECT_EQ(seen, expected) << "round " << round;
        // An odd number of commands leaves the bit set; a reset must still start from 0x8A.
        if (round == 0)
            link.to_null();
        else
            link.out_error->to_null();
    }
}

// --- Delivery without any reply ---------------------------------------------------------------

TEST(Delivery, NoReplyRepeatsEveryFifthCycleThenLosesTheLink)
{
    Out out;
    std::vector<int> expected{Out::SEND_NEW};
    for (int repeat = 0; repeat < 150; ++repeat)
        expected.insert(expected.end(), {0, 0, 0, 0, Out::SEND_REPEAT});
    expected.insert(expected.end(), {0, 0, 0, 0, Out::LINK_LOST, Out::LINK_LOST, Out::LINK_LOST});

    std::vector<int> seen;
    for (size_t i = 0; i < expected.size(); ++i) {
        const int action = out.get_type_translate(true);
        if (i == 0)
            sendNew(out, 0x61);
        seen.push_back(action);
        ASSERT_LE(out.getErrorCount(), Out::errorLimit) << "call " << i;
        if (action == Out::SEND_REPEAT) {
            EXPECT_EQ(out.getTxState(), Out::TX_WAIT_REPLY);
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(out.getTxState(), Out::TX_LOST);
    EXPECT_EQ(out.repeat_count.load(), 150);

    // Lost stays lost, with or without a command, until the reset.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(out.get_type_translate(i % 2 == 0), Out::LINK_LOST);
    EXPECT_EQ(out.getTxState(), Out::TX_LOST);

    out.to_null();
    EXPECT_EQ(out.getTxState(), Out::TX_IDLE);
    EXPECT_EQ(out.getErrorCount(), 0);
    EXPECT_EQ(out.repeat_count.load(), 0);
    EXPECT_EQ(out.lastFrameBytes(), QByteArray(8, '\0'));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(out.get_type_translate(false), Out::SEND_IDLE) << "stale time-out after reset";
    EXPECT_EQ(out.get_type_translate(true), Out::SEND_NEW);
}

TEST(Delivery, RepeatSendsTheLastFrameUnchanged)
{
    Out out;
    const QByteArray sent = outstanding(out, 0x11);
    for (int i = 0; i < 4; ++i)
        out.get_type_translate(true);
    ASSERT_EQ(out.get_type_translate(true), Out::SEND_REPEAT);
    EXPECT_EQ(out.lastFrameBytes(), sent);
    EXPECT_EQ(static_cast<quint8>(sent[0]), 0x8A);
}

// --- Replies ---------------------------------------------------------------------------------

TEST(Delivery, MismatchingReplyIsAnErrorAndRepeatsAtOnce)
{
    struct Case {
        const char *what;
        quint8 start;
        quint8 code;
    };
    // The outstanding command is 8A 13.
    const Case cases[] = {
        {"toggle bit differs", 0x0A, 0x13},
        {"code differs", 0x8A, 0x14},
        {"both differ", 0x0A, 0x60},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Out out;
        const QByteArray sent = outstanding(out, 0x13);
        ASSERT_EQ(static_cast<quint8>(sent[0]), 0x8A);
        out.get_type_translate(true);  // one quiet cycle, the time-out not reached

        EXPECT_FALSE(out.receive_buffer(reply(c.start, c.code), 0));
        EXPECT_EQ(out.getErrorCount(), 1);
        EXPECT_EQ(out.getTxState(), Out::TX_REPEAT);

        EXPECT_EQ(out.get_type_translate(false), Out::SEND_REPEAT);
        EXPECT_EQ(out.getTxState(), Out::TX_WAIT_REPLY);
        EXPECT_EQ(out.repeat_count.load(), 1);
        EXPECT_EQ(out.lastFrameBytes(), sent);

        // The repeat gets a full time-out of its own.
        std::vector<int> seen;
        for (int i = 0; i < 5; ++i)
            seen.push_back(out.get_type_translate(false));
        EXPECT_EQ(seen, (std::vector<int>{0, 0, 0, 0, Out::SEND_REPEAT}));
        EXPECT_EQ(out.getErrorCount(), 2);
    }
}

TEST(Delivery, AcceptedReplyReturnsToIdleAndClearsErrors)
{
    Out out;
    const QByteArray sent = outstanding(out, 0x01);
    for (int i = 0; i < 4; ++i)
        out.get_type_translate(true);
    ASSERT_EQ(out.get_type_translate(true), Out::SEND_REPEAT);
    ASSERT_FALSE(out.receive_buffer(reply(0x0A, 0x01), 0));
    ASSERT_EQ(out.get_type_translate(true), Out::SEND_REPEAT);
    ASSERT_EQ(out.getErrorCount(), 2);

    // Only bytes 0 and 1 are compared: the payload of a reply is the shield's own.
    QByteArray answer = reply(0x8A, 0x01);
    answer[4] = 0x12;
    EXPECT_TRUE(out.receive_buffer(answer, 0));
    EXPECT_EQ(out.getTxState(), Out::TX_IDLE);
    EXPECT_EQ(out.getErrorCount(), 0);
    EXPECT_EQ(out.repeat_count.load(), 2) << "the report clears repeat_count, not a reply";

    // The time-out was stopped: no repeat comes however long the queue stays empty.
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(out.get_type_translate(false), Out::SEND_IDLE);
    // A second reply to the same command is not passed on.
    EXPECT_FALSE(out.receive_buffer(answer, 0));
    EXPECT_EQ(out.get_type_translate(true), Out::SEND_NEW);
    EXPECT_EQ(static_cast<quint8>(sendNew(out, 0x02)[0]), 0x0A);
}

TEST(Delivery, ReplyWithoutOutstandingCommandChangesNothing)
{
    struct Case {
        const char *what;
        Out::TxState state;
    };
    const Case cases[] = {
        {"idle", Out::TX_IDLE},
        {"repeat pending", Out::TX_REPEAT},
        {"lost", Out::TX_LOST},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Out out;
        QByteArray sent;
        if (c.state != Out::TX_IDLE) {
            sent = outstanding(out, 0x20);
            int errors = c.state == Out::TX_LOST ? 151 : 1;
            for (int i = 0; i < errors; ++i)
                out.transmission_error();
        }
        ASSERT_EQ(out.getTxState(), c.state);
        const quint16 errors = out.getErrorCount();
        const QByteArray last = out.lastFrameBytes();

        // Even an exact echo of the last frame is ignored.
        EXPECT_FALSE(out.receive_buffer(out.lastFrameBytes(), 0));
        EXPECT_FALSE(out.receive_buffer(reply(0x0A, 0x00), 0));
        EXPECT_EQ(out.getTxState(), c.state);
        EXPECT_EQ(out.getErrorCount(), errors);
        EXPECT_EQ(out.lastFrameBytes(), last);
    }
}

// --- Repeat detection of events and counters -------------------------------------------------

TEST(EventRepeat, SameStartByteIsARepeat)
{
    SPIconnector link;
    SpiInErrorController &in = *link.in_error;
    EXPECT_FALSE(in.isRepeat(0x8A));
    EXPECT_TRUE(in.isRepeat(0x8A));
    EXPECT_EQ(in.repeat_count.load(), 1);
    EXPECT_FALSE(in.isRepeat(0x0A));
    EXPECT_TRUE(in.isRepeat(0x0A));
    EXPECT_FALSE(in.isRepeat(0x8A));
    EXPECT_EQ(in.repeat_count.load(), 2);

    link.to_null();
    EXPECT_EQ(in.repeat_count.load(), 0);
    EXPECT_FALSE(in.isRepeat(0x8A));
    EXPECT_TRUE(in.isRepeat(0x8A));
}

TEST(Counters, RepeatCountsStopAt255)
{
    SpiInErrorController in;
    in.isRepeat(0x8A);
    for (int i = 0; i < 300; ++i)
        EXPECT_TRUE(in.isRepeat(0x8A));
    EXPECT_EQ(in.repeat_count.load(), 255);

    // 300 commands each repeated once after a bad reply, then accepted: no link loss, and the
    // count of repeats stops at the ceiling.
    Out out;
    for (int i = 0; i < 300; ++i) {
        const QByteArray sent = outstanding(out, 0x61);
        ASSERT_FALSE(out.receive_buffer(reply(0x00, 0x61), 0));
        ASSERT_EQ(out.get_type_translate(true), Out::SEND_REPEAT);
        ASSERT_TRUE(out.receive_buffer(sent, 0));
    }
    EXPECT_EQ(out.repeat_count.load(), 255);
    EXPECT_EQ(out.getTxState(), Out::TX_IDLE);
}

TEST(LongPacket, RepeatsCountUnchangedCallsAndWrap)
{
    SPIconnector link;
    std::vector<int> seen;
    for (int i = 0; i < 3; ++i) {
        link.set_long_packet(true);
        seen.push_back(link.long_packet_repeats);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(link.get_long_packet());

    while (link.long_packet_repeats != 255)
        link.set_long_packet(true);
    link.set_long_packet(true);
    EXPECT_EQ(link.long_packet_repeats.load(), 0);
    link.set_long_packet(true);
    EXPECT_EQ(link.long_packet_repeats.load(), 1);

    link.set_long_packet(false);
    EXPECT_EQ(link.long_packet_repeats.load(), 0);
    EXPECT_FALSE(link.get_long_packet());
}

// --- The record and its queues ---------------------------------------------------------------

TEST(LinkRecord, ResetKeepsQueuesAndReceivedFrame)
{
    SPIconnector link;
    EXPECT_FALSE(link.get_skip_flag());
    EXPECT_FALSE(link.get_long_packet());
    EXPECT_TRUE(link.rx_frame.isEmpty());

    const QByteArray frame = Frame::compose(0x13, 0, 0, 1, 2);
    DataTransmission *const audio = link.audio_queue.get();
    for (DataTransmission *q : {link.command_queue.get(), link.event_ack_queue.get(), audio,
                                link.direct_queue.get()})
        q->append(frame);
    link.rx_frame = QByteArray(Frame::longSize, '\x55');
    link.set_skip_flag(true);
    link.set_long_packet(true);
    link.set_long_packet(true);
    outstanding(*link.out_error);
    link.in_error->isRepeat(0x8A);
    link.in_error->isRepeat(0x8A);

    link.to_null();

    EXPECT_FALSE(link.get_skip_flag());
    EXPECT_FALSE(link.get_long_packet());
    EXPECT_EQ(link.long_packet_repeats.load(), 0);
    EXPECT_EQ(link.out_error->getTxState(), Out::TX_IDLE);
    EXPECT_EQ(link.in_error->repeat_count.load(), 0);
    EXPECT_EQ(link.rx_frame, QByteArray(Frame::longSize, '\x55'));
    for (DataTransmission *q : {link.command_queue.get(), link.event_ack_queue.get(), audio,
                                link.direct_queue.get()}) {
        ASSERT_EQ(q->list.size(), 1);
        EXPECT_EQ(q->list.first(), frame);
    }
}

TEST(Queue, AppendTakeClear)
{
    DataTransmission q;
    QByteArray out;
    EXPECT_FALSE(q.take(&out));
    EXPECT_TRUE(q.buffer.isEmpty());

    QByteArray first = Frame::compose(0x01, 0, 0x12, 0, 0);
    q.append(first);
    q.append(Frame::compose(0x02, 0, 0, 0, 0));
    q.append(Frame::compose(0x03, 0, 0, 0, 0));
    first[1] = 0x7F;  // the queue holds its own copy
    EXPECT_EQ(q.size(), 3);

    ASSERT_TRUE(q.take(&out));
    EXPECT_EQ(Frame::code(out), 0x01);
    EXPECT_EQ(q.buffer, out);
    ASSERT_TRUE(q.take());
    EXPECT_EQ(Frame::code(q.buffer), 0x02);
    EXPECT_EQ(q.size(), 1);

    q.clear();
    EXPECT_TRUE(q.isEmpty());
    EXPECT_EQ(Frame::code(q.buffer), 0x02) << "clear keeps the frame last taken";
    EXPECT_FALSE(q.take(&out));
    EXPECT_EQ(Frame::code(q.buffer), 0x02) << "a take from an empty queue leaves buffer alone";
}

