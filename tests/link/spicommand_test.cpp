// The command builder: the bytes and the queue of every command frame, the identification
// sequence, out-of-range addresses, and whole frames under concurrent builders.
#include "config/settings.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "support/shieldlinks.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

enum class Queue { Command, Direct };

using Bytes = std::vector<quint8>;

Bytes bytesOf(const QByteArray &frame)
{
    return Bytes(frame.begin(), frame.end());
}

class Builder : public ::testing::Test, public ShieldLinks
{
protected:
    // Every frame queued anywhere, as (shield, queue, bytes); events and audio count as wrong.
    int framesOutside(int shield, Queue queue)
    {
        int count = 0;
        for (int s = 0; s < 6; ++s) {
            SPIconnector &l = links[size_t(s)];
            count += l.event_ack_queue->size() + l.audio_queue->size();
            if (s != shield || queue != Queue::Command)
                count += l.command_queue->size();
            if (s != shield || queue != Queue::Direct)
                count += l.direct_queue->size();
        }
        return count;
    }

    DataTransmission &queueOf(int shield, Queue queue)
    {
        SPIconnector &l = links[size_t(shield)];
        return queue == Queue::Command ? *l.command_queue : *l.direct_queue;
    }

};

struct Case {
    const char *name;
    std::function<void(SPIcommand &, quint8)> build;
    quint8 shield;
    Queue queue;
    Bytes bytes;
};

const std::vector<Case> &cases()
{
    using C = SPIcommand;
    static const std::vector<Case> table{
        {"read_firmware", [](C &c, quint8 s) { c.command_read_firmware(s); }, 0, Queue::Command,
         {0x0A, 0x01, 0x00, 0x12, 0x00, 0x00, 0, 0}},
        {"read_shield", [](C &c, quint8 s) { c.command_read_shield(s); }, 1, Queue::Command,
         {0x0A, 0x02, 0, 0, 0, 0, 0, 0}},
        {"read_intercom", [](C &c, quint8 s) { c.command_read_intercom(s); }, 2, Queue::Command,
         {0x0A, 0x03, 0, 0, 0, 0, 0, 0}},
        {"read_vid0", [](C &c, quint8 s) { c.command_read_vid0(s); }, 3, Queue::Command,
         {0x0A, 0x04, 0, 0, 0, 0, 0, 0}},
        {"read_vid1", [](C &c, quint8 s) { c.command_read_vid1(s); }, 4, Queue::Command,
         {0x0A, 0x05, 0, 0, 0, 0, 0, 0}},
        {"read_vid2", [](C &c, quint8 s) { c.command_read_vid2(s); }, 5, Queue::Command,
         {0x0A, 0x06, 0, 0, 0, 0, 0, 0}},
        {"pickup", [](C &c, quint8 s) { c.command_pickup(s); }, 0, Queue::Command,
         {0x0A, 0x11, 0, 0, 0, 0, 0, 0}},
        {"drop", [](C &c, quint8 s) { c.command_drop(s); }, 1, Queue::Command,
         {0x0A, 0x12, 0, 0, 0, 0, 0, 0}},
        {"dial", [](C &c, quint8 s) { c.command_dial(s, 0x1234); }, 2, Queue::Command,
         {0x0A, 0x13, 0x00, 0x00, 0x12, 0x34, 0, 0}},
        {"phone_detect", [](C &c, quint8 s) { c.command_phone_detect(s, 0xABCD); }, 4,
         Queue::Command, {0x0A, 0x14, 0x00, 0x00, 0xAB, 0xCD, 0, 0}},
        {"open", [](C &c, quint8 s) { c.command_open(s, 3); }, 1, Queue::Command,
         {0x0A, 0x20, 0, 0, 0, 0x03, 0, 0}},
        {"set_intercom", [](C &c, quint8 s) { c.command_set_intercom(s, 136); }, 0,
         Queue::Command, {0x0A, 0x31, 0, 0, 0, 0x88, 0, 0}},
        {"virtuallist", [](C &c, quint8 s) { c.command_update_16bit_virtuallist(s, 1, 0xFFFE); },
         3, Queue::Command, {0x0A, 0x32, 0x00, 0x01, 0xFF, 0xFE, 0, 0}},
        {"blacklist", [](C &c, quint8 s) { c.command_update_16bit_blacklist(s, 63, 0x8001); }, 5,
         Queue::Command, {0x0A, 0x33, 0x00, 0x3F, 0x80, 0x01, 0, 0}},
        {"key_16bit", [](C &c, quint8 s) { c.command_key_16bit(s, 0x77, 0x0102, 0x0304); }, 2,
         Queue::Command, {0x0A, 0x77, 0x01, 0x02, 0x03, 0x04, 0, 0}},
        {"audio_play on", [](C &c, quint8 s) { c.command_audio_play(s, true); }, 1,
         Queue::Command, {0x0A, 0x40, 0, 0, 0, 0x01, 0, 0}},
        {"audio_play off", [](C &c, quint8 s) { c.command_audio_play(s, false); }, 1,
         Queue::Command, {0x0A, 0x40, 0, 0, 0, 0x00, 0, 0}},
        {"spi_loop_return 258", [](C &c, quint8 s) { c.command_spi_loop_return(s, 258); }, 0,
         Queue::Command, {0x0A, 0x50, 0x00, 0x00, 0x01, 0x02, 0, 0}},
        {"spi_loop_return wide", [](C &c, quint8 s) { c.command_spi_loop_return(s, 0xA1B2C3D4); },
         3, Queue::Command, {0x0A, 0x50, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0}},
        {"ping_1", [](C &c, quint8 s) { c.command_ping_1(s); }, 4, Queue::Direct,
         {0x0A, 0x60, 0, 0, 0, 0, 0, 0}},
        {"ping_2", [](C &c, quint8 s) { c.command_ping_2(s); }, 0, Queue::Command,
         {0x0A, 0x61, 0x5A, 0x00, 0x5A, 0x00, 0, 0}},
        {"reboot_shield", [](C &c, quint8 s) { c.command_reboot_shield(s); }, 5, Queue::Direct,
         {0x0A, 0x62, 0, 0, 0, 0, 0, 0}},
        {"repeat", [](C &c, quint8 s) { c.command_repeat(s); }, 2, Queue::Command,
         {0x0A, 0xFF, 0, 0, 0, 0, 0, 0}},
    };
    return table;
}

}  // namespace

TEST_F(Builder, EveryBuilderQueuesItsFrameOnItsQueue)
{
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        for (SPIconnector &l : links) {
            l.command_queue->clear();
            l.direct_queue->clear();
        }
        c.build(command, c.shield);
        DataTransmission &q = queueOf(c.shield, c.queue);
        ASSERT_EQ(q.size(), 1);
        EXPECT_EQ(bytesOf(q.list.first()), c.bytes);
        EXPECT_EQ(framesOutside(c.shield, c.queue), 0);
    }
}

TEST_F(Builder, IdentificationSequenceCarriesTheConfiguredIntercom)
{
    settings.intercomIndex[3] = 119;
    settings.intercomIndex[0] = 47;
    command.command_first(3);

    const std::vector<Bytes> expected{
        {0x0A, 0x01, 0x00, 0x12, 0, 0, 0, 0}, {0x0A, 0x02, 0, 0, 0, 0, 0, 0},
        {0x0A, 0x04, 0, 0, 0, 0, 0, 0},       {0x0A, 0x05, 0, 0, 0, 0, 0, 0},
        {0x0A, 0x06, 0, 0, 0, 0, 0, 0},       {0x0A, 0x31, 0, 0, 0, 119, 0, 0},
        {0x0A, 0x03, 0, 0, 0, 0, 0, 0},
    };
    std::vector<Bytes> seen;
    for (const QByteArray &frame : links[3].command_queue->list)
        seen.push_back(bytesOf(frame));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(framesOutside(3, Queue::Command), 0);
}

TEST_F(Builder, AddressAboveFiveQueuesNothing)
{
    for (quint8 shield : {quint8(6), quint8(7), quint8(200), quint8(255)}) {
        SCOPED_TRACE(int(shield));
        for (const Case &c : cases())
            c.build(command, shield);
        command.command_first(shield);
        EXPECT_EQ(framesOutside(-1, Queue::Command), 0);
    }
}

// Four threads queue numbered frames of different builders for one shield while a fifth takes
// frames off the queue: every frame is one whole call, none is lost, each thread's stay in order.
TEST_F(Builder, ConcurrentBuildersQueueWholeFramesInTheirOwnOrder)
{
    constexpr int perThread = 20000;
    constexpr quint8 shield = 1;
    struct Producer {
        quint8 code;
        std::function<void(SPIcommand &, quint16)> build;
        // The sequence number a frame of this producer carries, or -1 when its bytes are mixed.
        std::function<int(const QByteArray &)> sequence;
    };
    const std::vector<Producer> producers{
        {0x13, [](SPIcommand &c, quint16 i) { c.command_dial(shield, i); },
         [](const QByteArray &f) { return Frame::u16At2(f) == 0 ? int(Frame::u16At4(f)) : -1; }},
        {0x32,
         [](SPIcommand &c, quint16 i) {
             c.command_update_16bit_virtuallist(shield, i, quint16(~i));
         },
         [](const QByteArray &f) {
             return Frame::u16At4(f) == quint16(~Frame::u16At2(f)) ? int(Frame::u16At2(f)) : -1;
         }},
        {0x33,
         [](SPIcommand &c, quint16 i) {
             c.command_update_16bit_blacklist(shield, i, quint16(i ^ 0x5A5A));
         },
         [](const QByteArray &f) {
             return Frame::u16At4(f) == quint16(Frame::u16At2(f) ^ 0x5A5A) ? int(Frame::u16At2(f))
                                                                             : -1;
         }},
        {0x50,
         [](SPIcommand &c, quint16 i) {
             c.command_spi_loop_return(shield, quint32(i) << 16 | quint16(i + 0x1111));
         },
         [](const QByteArray &f) {
             return Frame::u16At4(f) == quint16(Frame::u16At2(f) + 0x1111) ? int(Frame::u16At2(f))
                                                                             : -1;
         }},
    };

    std::atomic<bool> go{false};
    std::atomic<int> running{int(producers.size())};
    std::vector<QByteArray> taken;
    std::thread taker([&] {
        DataTransmission &q = *links[shield].command_queue;
        QByteArray frame;
        // Takes while the builders run, leaving whatever is still queued at the end.
        while (running.load() > 0) {
            if (q.take(&frame))
                taken.push_back(frame);
            else
                std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (const Producer &p : producers) {
        threads.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < perThread; ++i)
                p.build(command, quint16(i));
            running.fetch_sub(1);
        });
    }
    go.store(true);
    for (std::thread &t : threads)
        t.join();
    taker.join();

    std::vector<QByteArray> all = taken;
    for (const QByteArray &frame : links[shield].command_queue->list)
        all.push_back(frame);

    std::vector<int> next(producers.size(), 0);
    int bad = 0;
    for (const QByteArray &frame : all) {
        size_t p = 0;
        while (p < producers.size() && producers[p].code != Frame::code(frame))
            ++p;
        const bool whole = frame.size() == Frame::shortSize && Frame::start0(frame) == 0x0A &&
                           Frame::byte(frame, 6) == 0 && Frame::byte(frame, 7) == 0 &&
                           p < producers.size() && producers[p].sequence(frame) == next[p];
        if (!whole) {
            if (++bad < 5)
                ADD_FAILURE() << "mixed, unknown or out-of-order frame: "
                              << frame.toHex(' ').toStdString();
            continue;
        }
        ++next[p];
    }
    EXPECT_EQ(bad, 0);
    for (size_t p = 0; p < producers.size(); ++p)
        EXPECT_EQ(next[p], perThread) << "code " << int(producers[p].code);
    EXPECT_EQ(all.size(), producers.size() * perThread);
    EXPECT_EQ(framesOutside(shield, Queue::Command), 0);
}
