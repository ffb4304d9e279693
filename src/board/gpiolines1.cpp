// libgpiod 1.6 (Debian 12): a chip's lines are objects of the chip, requested one by one.

#include "board/gpiolines.h"

#include <gpiod.h>

struct GpioChip {
    gpiod_chip *chip;
};

struct GpioLine {
    gpiod_line *line;
};

namespace gpio {

GpioChip *openChip(const char *label)
{
    gpiod_chip *chip = gpiod_chip_open_by_label(label);
    return chip ? new GpioChip{chip} : nullptr;
}

void closeChip(GpioChip *chip)
{
    gpiod_chip_close(chip->chip);
    delete chip;
}

unsigned lineCount(const GpioChip *chip)
{
    return gpiod_chip_num_lines(chip->chip);
}

GpioLine *requestOutput(GpioChip *chip, unsigned offset, const char *consumer)
{
    gpiod_line *line = gpiod_chip_get_line(chip->chip, offset);
    if (!line || gpiod_line_request_output(line, consumer, 0) < 0)
        return nullptr;
    return new GpioLine{line};
}

std::string holder(GpioChip *chip, unsigned offset)
{
    // Reads the line's state from the kernel afresh.
    gpiod_line *line = gpiod_chip_get_line(chip->chip, offset);
    const char *name = line && gpiod_line_is_used(line) ? gpiod_line_consumer(line) : nullptr;
    return name ? name : "";
}

bool setLevel(GpioLine *line, int level)
{
    return gpiod_line_set_value(line->line, level) == 0;
}

void release(GpioLine *line)
{
    gpiod_line_release(line->line);
    delete line;
}

}  // namespace gpio
