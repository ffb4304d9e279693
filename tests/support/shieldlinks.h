#pragma once
// The six link records and the command builder over them, as the driver keeps them. Test rigs
// derive from it, so the records exist before anything the rig builds on them.

#include "config/settings.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"

#include <array>

struct ShieldLinks {
    Settings settings;
    std::array<SPIconnector, 6> links;
    SPIconnector *pointers[6] = {&links[0], &links[1], &links[2], &links[3], &links[4], &links[5]};
    SPIcommand command{pointers, &settings};
};
