// The random walks of ctpsim_walk.
#pragma once

#include <string_view>

namespace standin {

// Starts, replaces or (rate 0) stops a walk of an instrument's reference
// price on the front named; a CTPSIM_ result.
int walk(std::string_view front, std::string_view instrument, unsigned long long seed, double rate);
// Stops every walk (ctpsim_reset), returning once their threads have ended.
void stop_walks();

}  // namespace standin
