#include "board/board.h"

constexpr quint8 Board::pinChipSelect[maxShields];
