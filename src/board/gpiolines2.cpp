// libgpiod 2.x (Debian 13, Ubuntu 24.04, Armbian): chips are found by path, lines requested with
// settings objects, and a request is a descriptor of its own.

#include "board/gpiolines.h"

#include <gpiod.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <dirent.h>

struct GpioChip {
    gpiod_chip *chip;
    unsigned lines;
};

struct GpioLine {
    gpiod_line_request *request;
    unsigned offset;
};

namespace {

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *p) const { Free(p); }
};
using ChipInfo = std::unique_ptr<gpiod_chip_info, Freer<gpiod_chip_info, gpiod_chip_info_free>>;
using LineInfo = std::unique_ptr<gpiod_line_info, Freer<gpiod_line_info, gpiod_line_info_free>>;
using Settings =
    std::unique_ptr<gpiod_line_settings, Freer<gpiod_line_settings, gpiod_line_settings_free>>;
using LineConfig =
    std::unique_ptr<gpiod_line_config, Freer<gpiod_line_config, gpiod_line_config_free>>;
using RequestConfig =
    std::unique_ptr<gpiod_request_config, Freer<gpiod_request_config, gpiod_request_config_free>>;

int isChipEntry(const dirent *entry)
{
    return std::strncmp(entry->d_name, "gpiochip", 8) == 0;
}

}  // namespace

namespace gpio {

// As libgpiod 1.6 did: every GPIO chip in /dev in name order, the first with the label.
GpioChip *openChip(const char *label)
{
    dirent **entries = nullptr;
    const int count = ::scandir("/dev", &entries, isChipEntry, alphasort);
    if (count < 0)
        return nullptr;
    GpioChip *found = nullptr;
    int error = ENOENT;
    for (int i = 0; i < count; ++i) {
        const std::string path = std::string("/dev/") + entries[i]->d_name;
        std::free(entries[i]);
        if (found || !gpiod_is_gpiochip_device(path.c_str()))
            continue;
        gpiod_chip *chip = gpiod_chip_open(path.c_str());
        if (!chip) {
            error = errno;  // a chip we may not open: say why, should no other have the label
            continue;
        }
        const ChipInfo info(gpiod_chip_get_info(chip));
        if (info && std::strcmp(gpiod_chip_info_get_label(info.get()), label) == 0)
            found = new GpioChip{chip,
                                 static_cast<unsigned>(gpiod_chip_info_get_num_lines(info.get()))};
        else
            gpiod_chip_close(chip);
    }
    std::free(entries);
    if (!found)
        errno = error;
    return found;
}

void closeChip(GpioChip *chip)
{
    gpiod_chip_close(chip->chip);
    delete chip;
}

unsigned lineCount(const GpioChip *chip)
{
    return chip->lines;
}

GpioLine *requestOutput(GpioChip *chip, unsigned offset, const char *consumer)
{
    const Settings settings(gpiod_line_settings_new());
    const LineConfig lines(gpiod_line_config_new());
    const RequestConfig request(gpiod_request_config_new());
    if (!settings || !lines || !request ||
        gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_OUTPUT) < 0 ||
        gpiod_line_settings_set_output_value(settings.get(), GPIOD_LINE_VALUE_INACTIVE) < 0 ||
        gpiod_line_config_add_line_settings(lines.get(), &offset, 1, settings.get()) < 0)
        return nullptr;
    gpiod_request_config_set_consumer(request.get(), consumer);
    gpiod_line_request *granted = gpiod_chip_request_lines(chip->chip, request.get(), lines.get());
    return granted ? new GpioLine{granted, offset} : nullptr;
}

std::string holder(GpioChip *chip, unsigned offset)
{
    const LineInfo info(gpiod_chip_get_line_info(chip->chip, offset));
    const char *name = info && gpiod_line_info_is_used(info.get())
                           ? gpiod_line_info_get_consumer(info.get())
                           : nullptr;
    return name ? name : "";
}

bool setLevel(GpioLine *line, int level)
{
    return gpiod_line_request_set_value(
               line->request, line->offset,
               level ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE) == 0;
}

void release(GpioLine *line)
{
    gpiod_line_request_release(line->request);
    delete line;
}

}  // namespace gpio
