// The Win32 subset the stub calls. The Windows build takes the platform's
// own header; host builds take our POSIX test double with the same names.
// SFX_HOST_LAYER takes that header's declarations even for Windows, for
// host-side tools that bring their own definitions of the few calls they use.
#pragma once

#if defined(_WIN32) && !defined(SFX_HOST_LAYER)
#include <windows.h>
#else
#include "hostwin32/hostwin32.h"
#endif
