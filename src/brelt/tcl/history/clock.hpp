// The time stamp of an entry: datetime.datetime.now(), built in C.
#pragma once

#include "capi.hpp"

namespace history {

// Builds what datetime.datetime.now() returns, without its cost: the local
// date and time of the current second is computed once (by datetime itself)
// and reused for every stamp taken within that second; only the
// microseconds differ.
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
    bool fill_second(long long sec) noexcept;

    bool ready_ = false;
    bool have_ = false;
    long long sec_ = 0;
    int year_ = 0, month_ = 0, day_ = 0, hour_ = 0, minute_ = 0, second_ = 0, fold_ = 0;
    // The C library's zone as it was when the second was computed: a
    // time.tzset() to another zone changes these.
    long zone_offset_ = 0;
    int zone_daylight_ = 0;
    const char* zone_names_[2] = {nullptr, nullptr};
};

}  // namespace history
