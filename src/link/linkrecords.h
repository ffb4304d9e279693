#pragma once
// The six link records, one per shield address whether that shield is served or not, and the
// link mutex that guards them across a transfer cycle. Owned by main for the life of the
// process. The transfer loop holds the mutex for each whole cycle and the supervisor while it
// cleans a lost shield's record; everyone else reaches a record only through its queues, each
// under its own mutex (link mutex first, queue mutex second, never the other way round).

#include "base/pimutex.h"
#include "base/shieldcount.h"
#include "link/spiconnector.h"

#include <array>
#include <mutex>

class LinkRecords
{
public:
    LinkRecords();
    LinkRecords(const LinkRecords &) = delete;
    LinkRecords &operator=(const LinkRecords &) = delete;

    // The records as the array of six pointers that their users are given.
    SPIconnector **records() { return pointers.data(); }
    SPIconnector &operator[](int shield) { return links.at(static_cast<size_t>(shield)); }
    PiMutex *mutex() { return &linkMutex; }

private:
    std::array<SPIconnector, maxShields> links;
    std::array<SPIconnector *, maxShields> pointers{};
    PiMutex linkMutex;
};
