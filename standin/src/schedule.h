// The thread that keeps the trading calendars of simulated fronts on time:
// it makes each status change and day end when the front's clock reaches
// it, whether or not any session is calling the front then.
#pragma once

#include <memory>

namespace standin {

class Front;

// Keeps the front on time from now on (for as long as the process lives).
void keep_on_time(std::shared_ptr<Front> front);
// A front's clock was moved: the thread looks again at when to wake.
void clocks_changed() noexcept;

}  // namespace standin
