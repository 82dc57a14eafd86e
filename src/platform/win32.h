#pragma once

// The one header through which the program reaches the Windows API. Code outside
// src/platform/ writes the Windows names as Windows spells them; on Windows they come
// from the SDK, elsewhere from a small layer that gives the same names the same meaning.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <audioclient.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>
#else
#include "platform/posix/types.h"

#include "platform/posix/audio.h"
#include "platform/posix/com.h"
#include "platform/posix/console.h"
#include "platform/posix/errors.h"
#include "platform/posix/events.h"
#include "platform/posix/files.h"
#include "platform/posix/guid.h"
#include "platform/posix/handles.h"
#include "platform/posix/wave_format.h"
#endif
