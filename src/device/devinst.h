// The platform's device-installation interface, as the tool calls it: the
// real SetupAPI, configuration manager, registry and token services on
// Windows, and the platform stand-in, which has the same names, types and
// constants, everywhere else. The tool's code is the same source on both.
#pragma once

#if defined(_WIN32)
// The build defines UNICODE, _UNICODE, WIN32_LEAN_AND_MEAN and NOMINMAX.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on
#include <cwchar>
#else
#include "pnpsim/pnpsim.h"
#endif
