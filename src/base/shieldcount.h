#pragma once
// How many shield addresses there are. A shield address (0 to maxShields - 1) selects the chip
// select, the link record, the state record, the drop watchdog and the UDP port pair: every
// per-shield table is sized by this one number.

constexpr int maxShields = 6;
