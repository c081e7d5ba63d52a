#include "uWindowPlace.h"

TWindowPlace ComputeWindowPlace(int32_t screenWidth, int32_t screenHeight, bool haveTaskbar,
                                int edge, const TRect& taskbar, int32_t windowWidth,
                                int32_t windowHeight) {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = screenWidth;
  int32_t height = screenHeight;
  if (haveTaskbar) {
    switch (edge) {
    case TaskbarEdgeLeft:
      x = taskbar.Right;
      width = screenWidth - taskbar.Right;
      break;
    case TaskbarEdgeTop:
      y = taskbar.Bottom;
      height = screenHeight - taskbar.Bottom;
      break;
    case TaskbarEdgeRight:
      width = screenWidth - (taskbar.Right - taskbar.Left);
      break;
    case TaskbarEdgeBottom:
      height = screenHeight - (taskbar.Bottom - taskbar.Top);
      break;
    default:
      break;
    }
  }
  // C++ division truncates toward zero, also for a window larger than the area.
  return {x + (width - windowWidth) / 2, y + (height - windowHeight) / 2};
}
