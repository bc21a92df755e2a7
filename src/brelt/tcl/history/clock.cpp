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
    capi::Ref now =
        capi::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "now"));
    if (!now) return false;
    // Bound built-in methods are equal when they are the same method of the
    // same object.
    int same = PyObject_RichCompareBool(get_time, now.get(), Py_EQ);
    if (same < 0) return false;
    ready_ = same == 1;
    return true;
}

namespace {

// The local date and time of one second, as datetime computed it.
struct Second {
    bool have = false;
    long long sec = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fold = 0;
    // The C library's zone as it was when the second was computed: a
    // time.tzset() to another zone changes these.
    long zone_offset = 0;
    int zone_daylight = 0;
    const char* zone_names[2] = {nullptr, nullptr};

    bool current(long long s) const noexcept {
        return have && s == sec && zone_offset == timezone && zone_daylight == daylight && zone_names[0] == tzname[0] &&
               zone_names[1] == tzname[1];
    }

    bool fill(long long s) noexcept {
        have = false;
        // datetime.fromtimestamp(s) goes through the very conversion that
        // now() applies to its whole seconds (leap seconds and fold included).
        capi::Ref stamp = capi::Ref::steal(PyLong_FromLongLong(s));
        capi::Ref args = capi::Ref::steal(stamp ? PyTuple_Pack(1, stamp.get()) : nullptr);
        capi::Ref dt = capi::Ref::steal(args ? PyDateTime_FromTimestamp(args.get()) : nullptr);
        if (!dt) return false;
        PyObject* d = dt.get();
        year = PyDateTime_GET_YEAR(d);
        month = PyDateTime_GET_MONTH(d);
        day = PyDateTime_GET_DAY(d);
        hour = PyDateTime_DATE_GET_HOUR(d);
        minute = PyDateTime_DATE_GET_MINUTE(d);
        second = PyDateTime_DATE_GET_SECOND(d);
        fold = PyDateTime_DATE_GET_FOLD(d);
        sec = s;
        zone_offset = timezone;
        zone_daylight = daylight;
        zone_names[0] = tzname[0];
        zone_names[1] = tzname[1];
        have = true;
        return true;
    }
};

#ifdef Py_GIL_DISABLED
// Per thread: without the GIL threads stamp entries at once, and a second
// shared between them would be read while another fills it.
thread_local Second this_second;
#else
// One for the process: the GIL is held from the check to the last read, and
// filling it runs no Python code and never lets the GIL go.
Second this_second;
#endif

}  // namespace

PyObject* LocalClock::now() noexcept {
    long long sec;
    int us;
    if (!read_clock(sec, us)) return nullptr;
    Second& s = this_second;
    if (!s.current(sec) && !s.fill(sec)) return nullptr;
    return PyDateTime_FromDateAndTimeAndFold(s.year, s.month, s.day, s.hour, s.minute, s.second, us, s.fold);
}

}  // namespace history
