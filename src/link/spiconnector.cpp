#include "link/spiconnector.h"

SPIconnector::SPIconnector()
    : command_queue(new DataTransmission),
      event_ack_queue(new DataTransmission),
      audio_queue(new AudioQueue(&counters)),
      direct_queue(new DataTransmission)
{
    out_error.reset(new SpiOutErrorController);
    in_error.reset(new SpiInErrorController);
    to_null();
}

void SPIconnector::to_null()
{
    skip_flag = false;
    long_packet = false;
    long_packet_repeats = 0;
    out_error->to_null();
    in_error->to_null();
}

void SPIconnector::set_long_packet(bool value)
{
    if (value == long_packet)
        ++long_packet_repeats;  // 8-bit: wraps from 255 to 0
    else
        long_packet_repeats = 0;
    long_packet = value;
}
