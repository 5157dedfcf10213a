// Whole-buffer reads and writes on file descriptors: the system's own.
#pragma once

#include "platform.h"

using sys::PreadFull;
using sys::ReadFull;
using sys::WriteAll;
