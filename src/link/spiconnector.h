#pragma once
// The link record of one shield: its four frame queues, the last frame received, the frame-size
// and skip flags and the two error controllers. Shared by the command builder (console,
// supervisor and transfer threads, queues only), the transfer thread (everything, under the link
// mutex), the supervisor (skip flag; the reset of a lost shield under the link mutex) and the UDP
// receiver (audio queue). The flags are atomic because the supervisor reads and sets skip_flag
// outside the link mutex.

#include "link/audioqueue.h"
#include "link/bootloaderwatch.h"
#include "link/datatransmission.h"
#include "link/linkcounters.h"
#include "link/spiinerrorcontroller.h"
#include "link/spiouterrorcontroller.h"

#include <QByteArray>

#include <atomic>
#include <memory>

class SPIconnector
{
public:
    SPIconnector();
    SPIconnector(const SPIconnector &) = delete;
    SPIconnector &operator=(const SPIconnector &) = delete;

    // Flags and error controllers back to their start; queues and rx_frame stay.
    void to_null();
    // Sets the frame size; counts calls in a row that leave it unchanged (wrapping at 256).
    void set_long_packet(bool value);
    bool get_long_packet() const { return long_packet; }
    void set_skip_flag(bool value) { skip_flag = value; }
    bool get_skip_flag() const { return skip_flag; }

    std::unique_ptr<SpiOutErrorController> out_error;
    std::unique_ptr<SpiInErrorController> in_error;
    std::unique_ptr<DataTransmission> command_queue;    // acknowledged commands
    std::unique_ptr<DataTransmission> event_ack_queue;  // received events to echo back
    std::unique_ptr<AudioQueue> audio_queue;            // 528-byte packets of host audio
    std::unique_ptr<DataTransmission> direct_queue;     // unacknowledged commands
    QByteArray rx_frame;  // under the link mutex: the frame of the latest transfer
    std::atomic<quint8> long_packet_repeats{0};
    LinkCounters counters;             // never reset; read by the status server
    BootloaderWatch bootloader_watch;  // never reset; read by the status server

private:
    std::atomic<bool> long_packet{false};
    std::atomic<bool> skip_flag{false};
};
