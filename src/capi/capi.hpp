// The shared C++ layer of the extension modules.
#pragma once

#include "args.hpp"
#include "call.hpp"
#include "classbuilder.hpp"
#include "compat.hpp"
#include "error.hpp"
#include "function.hpp"
#include "guards.hpp"
#include "module.hpp"
#include "private_api.hpp"
#include "ref.hpp"
#include "shared.hpp"
#include "small_vector.hpp"
#include "strings.hpp"
