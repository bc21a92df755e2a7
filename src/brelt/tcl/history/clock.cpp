// LocalClock: datetime.datetime.now() for every entry, at the cost of a
// clock read and an allocation.
#include "clock.hpp"

#include <datetime.h>
#include <time.h>

namespace history {

namespace {

// The system clock as whole seconds and microseconds, both rounded down:
// what datetime.now() reads.
bool read_clock(long long& sec, int& us) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t t;
    if (PyTime_Time(&t) < 0) return false;
    long long s = t / 1000000000;
    long long ns = t % 1000000000;
    if (ns < 0) {
        ns += 1000000000;
        --s;
    }
    sec = s;
    us = static_cast<int>(ns / 1000);
    return true;
#else
    // The clock that CPython's own system clock reads on POSIX.
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    sec = static_cast<long long>(ts.tv_sec);
    us = static_cast<int>(ts.tv_nsec / 1000);
    return true;
#endif
}

}  // namespace

bool LocalClock::init(PyObject* get_time) noexcept {
    ready_ = false;
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
    capi::Ref now = capi::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "now"));
    if (!now) return false;
    // Bound built-in methods are equal when they are the same method of the
    // same object.
    int same = PyObject_RichCompareBool(get_time, now.get(), Py_EQ);
    if (same < 0) return false;
    ready_ = same == 1;
    return true;
}

bool LocalClock::fill_second(long long sec) noexcept {
    // datetime.fromtimestamp(sec) goes through the very conversion that
    // now() applies to its whole seconds (leap seconds and fold included).
    capi::Ref stamp = capi::Ref::steal(PyLong_FromLongLong(sec));
    capi::Ref args = capi::Ref::steal(stamp ? PyTuple_Pack(1, stamp.get()) : nullptr);
    capi::Ref dt = capi::Ref::steal(args ? PyDateTime_FromTimestamp(args.get()) : nullptr);
    if (!dt) return false;
    PyObject* d = dt.get();
    year_ = PyDateTime_GET_YEAR(d);
    month_ = PyDateTime_GET_MONTH(d);
    day_ = PyDateTime_GET_DAY(d);
    hour_ = PyDateTime_DATE_GET_HOUR(d);
    minute_ = PyDateTime_DATE_GET_MINUTE(d);
    second_ = PyDateTime_DATE_GET_SECOND(d);
    fold_ = PyDateTime_DATE_GET_FOLD(d);
    sec_ = sec;
    zone_offset_ = timezone;
    zone_daylight_ = daylight;
    zone_names_[0] = tzname[0];
    zone_names_[1] = tzname[1];
    have_ = true;
    return true;
}

PyObject* LocalClock::now() noexcept {
    long long sec;
    int us;
    if (!read_clock(sec, us)) return nullptr;
    if (!have_ || sec != sec_ || zone_offset_ != timezone || zone_daylight_ != daylight ||
        zone_names_[0] != tzname[0] || zone_names_[1] != tzname[1]) {
        have_ = false;
        if (!fill_second(sec)) return nullptr;
    }
    return PyDateTime_FromDateAndTimeAndFold(year_, month_, day_, hour_, minute_, second_, us, fold_);
}

}  // namespace history
