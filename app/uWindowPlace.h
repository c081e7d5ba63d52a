// Where the main window goes: centred in the part of the primary screen that the taskbar leaves
// free. Pure arithmetic, so that both builds test it.
#pragma once

#include <cstdint>

#include "VornLibSystem.h"

struct TWindowPlace {
  int32_t Left;
  int32_t Top;

  bool operator==(const TWindowPlace&) const = default;
};

// The free area is the whole screen, less the taskbar on its edge (TaskbarEdgeLeft .. Bottom) when
// there is one; the window (its outer size) is centred in it, with integer division toward zero.
// An unknown edge leaves the whole screen.
TWindowPlace ComputeWindowPlace(int32_t screenWidth, int32_t screenHeight, bool haveTaskbar,
                                int edge, const TRect& taskbar, int32_t windowWidth,
                                int32_t windowHeight);
