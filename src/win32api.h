// The Win32 subset the stub calls. The Windows build takes the platform's
// own header; host builds take our POSIX test double with the same names.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "hostwin32/hostwin32.h"
#endif
