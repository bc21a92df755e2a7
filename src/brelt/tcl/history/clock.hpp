// The time stamp of an entry: datetime.datetime.now(), built in C.
#pragma once

#include "capi.hpp"

namespace history {

// Builds what datetime.datetime.now() returns, without its cost: the local
// date and time of the current second is computed once (by datetime itself)
// and reused for every stamp taken within that second; only the
// microseconds differ. On a free-threaded build the second is remembered
// per thread, so threads stamping entries at once never share it.
class LocalClock {
public:
    // Ready when `get_time` (what the module imported) is the very method
    // datetime.datetime.now: only then may now() stand in for calling it.
    // False with an exception set only on failure.
    bool init(PyObject* get_time) noexcept;
    bool stands_in_for_get_time() const noexcept { return ready_; }

    // A new datetime equal to datetime.datetime.now() at this instant, fold
    // included; NULL with an exception set.
    PyObject* now() noexcept;

private:
    bool ready_ = false;  // set at module execution, read only afterwards
};

}  // namespace history
