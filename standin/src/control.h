// What the control interface's C functions (ctpsim.h) share.
#pragma once

#include "ctpsim.h"

namespace standin {

// Runs a control call; nothing may escape into the C caller. Only memory
// exhaustion throws behind the controls.
template <class Call>
int guarded(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return CTPSIM_NO_MEMORY;
    }
}

}  // namespace standin
