// GDI+ for the loading window. Its headers use min and max unqualified, which the build
// takes away from <windows.h> (NOMINMAX); give them the standard ones inside Gdiplus only.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <algorithm>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus

#include <gdiplus.h>
