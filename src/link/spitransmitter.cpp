#include "link/spitransmitter.h"

#include "base/console.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/bootloaderhost.h"
#include "link/capturering.h"
#include "link/framesink.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"

#include <algorithm>
#include <cstring>

namespace {

// Copies a frame into a buffer that the loop keeps from cycle to cycle. Assigning would share
// the bytes, and the next refill of either side would then allocate a fresh copy in every cycle
// for every shield.
void copyFrame(QByteArray &to, const QByteArray &from)
{
    if (to.size() != from.size())
        to.resize(from.size());
    std::memcpy(to.data(), from.constData(), static_cast<size_t>(from.size()));
}

}  // namespace

// The board as the bootloader host sees it in a hand-off: the same bus, whose transfers also go
// to the capture ring while one is open. The host uses no other operation of the board.
class SPItransmitter::HandOffBoard : public Board
{
public:
    explicit HandOffBoard(Board *board) : board(board) {}

    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        if (!ring) {
            board->spi_transfer(buffer, received, length);
            return;
        }
        quint8 sent[Frame::longSize];  // a board may clock the answer into the buffer it sends
        const int n = std::min<int>(length, Frame::longSize);
        std::memcpy(sent, buffer, static_cast<size_t>(n));
        board->spi_transfer(buffer, received, length);
        ring->exchange(shield, sent, received, n);
    }
    void spi1_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        board->spi1_transfer(buffer, received, length);
    }

    CaptureRing *ring = nullptr;
    quint8 shield = 0;

private:
    Board *board;
};

SPItransmitter::SPItransmitter(QObject *parent, Settings *settings, FrameSink *parsers,
                               SPIconnector **links, Board *board, PiMutex *mutex)
    : QObject(parent),
      board(board),
      parsers(parsers),
      settings(settings),
      mutex(mutex),
      hostOutput(&Console::out),
      budget(settings->spiHz, 16000)
{
    handOffBoard = std::make_unique<HandOffBoard>(board);
    bootloader.reset(new BootloaderHost(handOffBoard.get()));
    for (size_t i = 0; i < connectors.size(); ++i)
        connectors[i] = links[i];
    to_null();
    report_timer.start(reportCycles);
}

SPItransmitter::~SPItransmitter() = default;

void SPItransmitter::to_null()
{
    // The link records are shared with the supervisor, which may be cleaning a lost shield while
    // the transfer thread is being stopped; the reset waits for it like a cycle would.
    std::lock_guard<PiMutex> lock(*mutex);
    for (SPIconnector *link : connectors)
        link->to_null();
    tx_buffer.resize(Frame::longSize);
    rx_buffer.resize(Frame::longSize);
    idle_packet = QByteArray(Frame::longSize, '\0');
    Frame::fillSilence(idle_packet, Frame::audioOffset);
}

void SPItransmitter::main_func()
{
    std::lock_guard<PiMutex> lock(*mutex);
    const quint8 last = settings->lastShield;
    capturing = capture ? capture->enter() : nullptr;
    int longPackets = 0;
    int shortFrames = 0;

    for (quint8 s = 0; s <= last; ++s) {
        SPIconnector *link = connectors[s];
        if (link->get_skip_flag())
            continue;
        switch (exchange(s, link)) {
        case Exchanged::Long:
            ++longPackets;
            break;
        case Exchanged::Short:
            ++shortFrames;
            break;
        case Exchanged::Nothing:
            break;
        }
    }
    const QString busLine = budget.cycle(longPackets, shortFrames);
    if (!busLine.isEmpty())
        Console::err.line(busLine);

    // Asked once a cycle, so every shield of the cycle is treated alike.
    holdEvents = hostOutput->overBound();
    for (quint8 s = 0; s <= last; ++s) {
        SPIconnector *link = connectors[s];
        if (!link->get_skip_flag())
            parser(s, link->rx_frame, link);
    }

    if (report_timer.tick()) {
        for (quint8 s = 0; s <= last; ++s)
            reportErrors(s, connectors[s]);
    }
    if (capturing) {
        capture->leave();
        capturing = nullptr;
    }
}

SPItransmitter::Exchanged SPItransmitter::exchange(quint8 shield, SPIconnector *link)
{
    tx_buffer.fill('\0');
    rx_buffer.fill('\0');
    if (link->get_long_packet()) {
        QByteArray packet;
        const QByteArray &audio = link->audio_queue->takeCycle(&packet) ? packet : idle_packet;
        std::memcpy(tx_buffer.data(), audio.constData(),
                    static_cast<size_t>(std::min<int>(audio.size(), Frame::longSize)));
    }
    if (!fillControlFrame(shield, link))
        return Exchanged::Nothing;

    const int words = link->get_long_packet() ? Frame::longWords : Frame::shortWords;
    std::fill_n(receiveWords.begin(), words, 0);  // a board that clocks nothing in leaves zeros
    spi_data_transfer(shield, tx_buffer, rx_buffer, sendWords.data(), receiveWords.data(), words);
    LinkCounters::add(link->counters.exchanges);
    copyFrame(link->rx_frame, rx_buffer);
    if (capturing) {
        capturing->exchange(shield, reinterpret_cast<const quint8 *>(tx_buffer.constData()),
                            reinterpret_cast<const quint8 *>(rx_buffer.constData()), 2 * words);
    }

    // An audio-play command went out: the frame size follows what it asked for. The frame
    // received in this same cycle was still short, so its audio part is silence.
    if (Frame::code(tx_buffer) == SPIcommand::AUDIO_PLAY) {
        const bool playing = Frame::byte(tx_buffer, 5) == 1;
        link->set_long_packet(playing);
        if (playing)
            Frame::fillSilence(link->rx_frame, Frame::audioOffset);
    }

    // The shield's audio leaves for the host now: held for the parse phase, the first
    // shield's block would wait for every later exchange of the cycle (13.5 ms with six
    // calls). Which blocks go is decided as before: from the frame size after the exchange.
    if (!link->get_long_packet())
        return Exchanged::Short;
    forwardAudio(shield, link);
    return Exchanged::Long;
}

bool SPItransmitter::fillControlFrame(quint8 shield, SPIconnector *link)
{
    QByteArray frame;
    SpiOutErrorController *out = link->out_error.get();
    // A first ping makes the shield forget the toggle bit of its last command. While a command
    // awaits its reply the ping waits, or the shield would take the command's repeat for a new
    // command and carry it out twice; the repeats go on meanwhile, and the ping follows the reply
    // (or the link's loss, which empties the queue).
    const bool awaiting = out->awaitsReply();
    const auto waits = [awaiting](const QByteArray &direct) {
        return awaiting && Frame::code(direct) == SPIcommand::PING_1;
    };
    if (link->direct_queue->takeUnless(&frame, waits)) {
        for (int i = 0; i < Frame::controlSize; ++i)
            tx_buffer[i] = static_cast<char>(Frame::byte(frame, i));
        crc.buf_crc_add(tx_buffer, Frame::controlSize);
        return true;
    }
    if (link->event_ack_queue->take(&frame)) {
        for (int i = 0; i < Frame::shortSize; ++i)
            tx_buffer[i] = static_cast<char>(Frame::byte(frame, i));
        return true;
    }

    switch (out->get_type_translate(!link->command_queue->isEmpty())) {
    case SpiOutErrorController::SEND_NEW:
        link->command_queue->take(&frame);
        for (int i = 0; i < Frame::controlSize; ++i)
            tx_buffer[i] = static_cast<char>(Frame::byte(frame, i));
        tx_buffer[Frame::startByte] =
            static_cast<char>(out->set_bit_order(Frame::byte(tx_buffer, Frame::startByte)));
        crc.buf_crc_add(tx_buffer, Frame::controlSize);
        out->transmit_buffr(tx_buffer);
        return true;
    case SpiOutErrorController::SEND_REPEAT: {
        LinkCounters::add(link->counters.tx_errors);
        const auto &last = out->lastFrame();
        for (int i = 0; i < Frame::shortSize; ++i)
            tx_buffer[i] = static_cast<char>(last[static_cast<size_t>(i)]);
        // The shield may or may not have switched its frame size for an unanswered audio-play
        // command: every third repeat goes out with the other size.
        if (last[Frame::codeByte] == SPIcommand::AUDIO_PLAY && link->long_packet_repeats > 1)
            link->set_long_packet(!link->get_long_packet());
        return true;
    }
    case SpiOutErrorController::LINK_LOST:
        disconnect(shield, link);
        return false;
    default:
        tx_buffer[Frame::startByte] = 0;
        return true;
    }
}

void SPItransmitter::disconnect(quint8 shield, SPIconnector *link)
{
    ShieldState &state = settings->shieldState[shield];
    const bool online = state.getState() == ShieldState::STATE_ONLINE;
    if (online)
        reportErrors(shield, link);
    // Out of service before its call ends: a host's pickup, dial or drop comes before that end,
    // or is refused.
    link->set_skip_flag(true);
    state.setState(ShieldState::STATE_OFFLINE);
    // The calls of a lost shield end before the host hears it is gone.
    parsers->link_lost(shield);
    if (online) {
        LinkCounters::add(link->counters.disconnects);
        Console::out.lines(
            {settings->addressPrefix(shield) + QStringLiteral("shield_disconect"), QString()});
    }
    settings->supervisorWake.ring();  // it cleans the link record and pings again
}

void SPItransmitter::reportErrors(quint8 shield, SPIconnector *link)
{
    const quint8 tx = link->out_error->repeat_count.exchange(0);
    if (tx != 0) {
        Console::out.line(QString::number(shield) + QStringLiteral(" WARNING: SPI: TX errors: ") +
                          QString::number(tx));
    }
    const quint8 rx = link->in_error->repeat_count.exchange(0);
    if (rx != 0) {
        Console::out.line(QString::number(shield) + QStringLiteral(" WARNING: SPI: RX errors: ") +
                          QString::number(rx));
    }
}

void SPItransmitter::spi_data_transfer(quint8 shield, const QByteArray &tx, QByteArray &rx,
                                       quint16 *sendWords, quint16 *receiveWords, int n)
{
    byteArray_to_uint16(tx, sendWords, n);
    board->spi_exchange(shield, settings->selectLevel(), settings->releaseLevel(),
                        reinterpret_cast<quint8 *>(sendWords),
                        reinterpret_cast<quint8 *>(receiveWords), static_cast<quint16>(2 * n));
    uint16_to_byteArray(receiveWords, rx, n);
}

void SPItransmitter::parser(quint8 shield, const QByteArray &frame, SPIconnector *link)
{
    const quint8 b0 = Frame::start0(frame);
    if (Frame::hasValidStart(frame)) {
        LinkCounters::add(link->counters.frames);
        if (!crc.buf_crc_comparision(frame, Frame::controlSize)) {
            LinkCounters::add(link->counters.bad_frames);  // and dropped
        } else if (Frame::code(frame) == SPIcommand::PING_1) {
            parsers->parser_command(shield, frame, link);
        } else if (Frame::isEvent(frame)) {
            takeEvent(shield, frame, link);
        } else if (link->out_error->receive_buffer(frame.left(2), shield)) {
            LinkCounters::add(link->counters.commands);
            parsers->parser_command(shield, frame, link);
        }
    } else if (b0 == Frame::bootloaderSign) {
        bootloaderHandOff(shield);
    } else if (b0 == Frame::bootloaderAck || b0 == Frame::bootloaderNack) {
        Q_EMIT emergency_restart();
    } else if (!Frame::carriesNothing(frame)) {
        // Line noise, or a frame whose start byte it hit: dropped, and told as line quality.
        LinkCounters::add(link->counters.frames);
        LinkCounters::add(link->counters.bad_frames);
    }
    if (b0 != Frame::bootloaderSign)
        link->bootloader_watch.answeredOtherwise();
}

void SPItransmitter::forwardAudio(quint8 shield, SPIconnector *link)
{
    LinkCounters::add(link->counters.audio_blocks_out);
    parsers->parser_audio(shield, link->rx_frame);
}

void SPItransmitter::takeEvent(quint8 shield, const QByteArray &frame, SPIconnector *link)
{
    const quint8 b0 = Frame::start0(frame);
    // While the host is far behind, a new event stays with its shield: unacknowledged, it is
    // offered again and taken once the host has caught up. One already taken is acknowledged
    // again as always.
    if (holdEvents && !link->in_error->repeats(b0))
        return;
    if (!link->in_error->isRepeat(b0)) {
        LinkCounters::add(link->counters.events);
        parsers->parser_event(shield, frame, link);
    } else {
        LinkCounters::add(link->counters.rx_errors);
    }
    link->event_ack_queue->append(frame.left(Frame::shortSize));
}

void SPItransmitter::bootloaderHandOff(quint8 shield)
{
    // Release, select, talk to the bootloader, release: the shield is not left selected.
    board->spi_set_cs(shield, settings->releaseLevel());
    board->spi_set_cs(shield, settings->selectLevel());
    handOffBoard->ring = capturing;
    handOffBoard->shield = shield;
    if (bootloader->init())
        bootloader->goCommand(bootloaderGoAddress);
    handOffBoard->ring = nullptr;
    board->spi_set_cs(shield, settings->releaseLevel());

    // A shield whose application never comes up is told once, and again an hour later at the
    // earliest, so the technician learns that stm-flash can bring it back.
    BootloaderWatch &watch = connectors[shield]->bootloader_watch;
    if (watch.handedOff(BootloaderWatch::nowMs())) {
        Console::err.line(QStringLiteral("#WARNING: shield %1 stays in its STM32 bootloader: its "
                                         "application does not start (%2 hand-offs tried); "
                                         "stm-flash(1) writes its firmware")
                              .arg(shield)
                              .arg(watch.handoffs()));
    }
}
