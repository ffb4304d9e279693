#pragma once
// Tests reach the simulator's bus server under the support folder too.
#include "shield-sim/simbusserver.h"
