#pragma once
// The board's GPIO lines as libgpiod serves them, in either of its two generations: 1.6 (Debian
// 12) and 2.x (Debian 13, Ubuntu 24.04, current Armbian), whose interfaces have nothing in
// common. The build compiles gpiolines1.cpp or gpiolines2.cpp, after the libgpiod version
// pkg-config finds; which line is which pin, and what a failure means, stays in BoardConfigured.
// No lock of its own: the board holds its lock around every call.

#include <string>

struct GpioChip;  // an open GPIO chip
struct GpioLine;  // one line of it, requested as an output

namespace gpio {

// Opens the chip with this label: nullptr, errno set, when no chip has it (ENOENT) or a chip
// cannot be looked at (the error of its opening, EACCES say).
GpioChip *openChip(const char *label);
// Closes the chip; its lines must be released before.
void closeChip(GpioChip *chip);
unsigned lineCount(const GpioChip *chip);
// Requests one line as an output at level 0 under the consumer name: nullptr, errno set, when
// the kernel refuses (EBUSY: somebody holds it).
GpioLine *requestOutput(GpioChip *chip, unsigned offset, const char *consumer);
// The consumer name under which a line is held; empty when it is free or the holder unnamed.
std::string holder(GpioChip *chip, unsigned offset);
// Drives a requested line to 0 or 1: false, errno set, when the kernel refuses.
bool setLevel(GpioLine *line, int level);
// Gives the line back to the kernel.
void release(GpioLine *line);

}  // namespace gpio
