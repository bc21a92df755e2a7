// The error details of a failed request live in the host layer
// (src/host/tclerror.hpp); the names the modules already use stay here.
#pragma once

#include "../host/tclerror.hpp"

namespace capi {

using host::raise_tcl_error_details;
using host::TclErrorReport;

}  // namespace capi
