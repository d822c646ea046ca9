// <windows.h> as the Windows platform code and its tests include it: without the rarely used
// APIs, and without the min and max macros that would break std::min and std::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
