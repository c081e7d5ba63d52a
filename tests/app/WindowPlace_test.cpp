// The main window's place: centred in the screen area the taskbar leaves free.
#include <gtest/gtest.h>

#include "uWindowPlace.h"

namespace {

// A row names what differs from a 1024 x 768 screen without a taskbar and the main window's
// 478 x 195.
struct TPlaceRow {
  const char* Name;
  int32_t ScreenWidth = 1024;
  int32_t ScreenHeight = 768;
  bool HaveTaskbar = false;
  int Edge;
  TRect Taskbar;
  int32_t WindowWidth = 478;
  int32_t WindowHeight = 195;
  TWindowPlace Expected;
};

TEST(WindowPlace, CentresInTheFreeArea) {
  const TPlaceRow rows[] = {
      {.Name = "no taskbar: whole screen",
       .Edge = TaskbarEdgeBottom,
       .Taskbar = {0, 728, 1024, 768},
       .Expected = {273, 286}},
      {.Name = "bottom",
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeBottom,
       .Taskbar = {0, 728, 1024, 768},
       .Expected = {273, 266}},
      {.Name = "top",
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeTop,
       .Taskbar = {0, 0, 1024, 40},
       .Expected = {273, 306}},
      {.Name = "left",
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeLeft,
       .Taskbar = {0, 0, 60, 768},
       .Expected = {303, 286}},
      {.Name = "right",
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeRight,
       .Taskbar = {964, 0, 1024, 768},
       .Expected = {243, 286}},
      // Odd differences are cut toward zero.
      {.Name = "odd sizes",
       .ScreenWidth = 1025,
       .ScreenHeight = 769,
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeBottom,
       .Taskbar = {0, 739, 1025, 769},
       .WindowWidth = 100,
       .WindowHeight = 100,
       .Expected = {462, 319}},
      // A window larger than the area: the negative half is cut toward zero too.
      {.Name = "window wider than the screen",
       .ScreenWidth = 400,
       .ScreenHeight = 300,
       .Edge = TaskbarEdgeBottom,
       .Taskbar = {0, 0, 0, 0},
       .WindowWidth = 501,
       .WindowHeight = 303,
       .Expected = {-50, -1}},
      {.Name = "left, window taller than the area",
       .ScreenWidth = 800,
       .ScreenHeight = 200,
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeLeft,
       .Taskbar = {0, 0, 100, 200},
       .WindowWidth = 300,
       .WindowHeight = 205,
       .Expected = {300, -2}},
      // Only the bar's thickness counts at the right and bottom; its position at left and top.
      {.Name = "top, bar moved down",
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeTop,
       .Taskbar = {0, 10, 1024, 50},
       .WindowWidth = 24,
       .WindowHeight = 18,
       .Expected = {500, 400}},
      {.Name = "right, bar not at the screen's edge",
       .ScreenWidth = 1000,
       .ScreenHeight = 700,
       .HaveTaskbar = true,
       .Edge = TaskbarEdgeRight,
       .Taskbar = {800, 0, 900, 700},
       .WindowWidth = 100,
       .WindowHeight = 100,
       .Expected = {400, 300}},
      {.Name = "unknown edge: whole screen",
       .HaveTaskbar = true,
       .Edge = 7,
       .Taskbar = {0, 728, 1024, 768},
       .WindowWidth = 24,
       .WindowHeight = 18,
       .Expected = {500, 375}},
  };
  for (const TPlaceRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const TWindowPlace place =
        ComputeWindowPlace(row.ScreenWidth, row.ScreenHeight, row.HaveTaskbar, row.Edge,
                           row.Taskbar, row.WindowWidth, row.WindowHeight);
    EXPECT_EQ(place.Left, row.Expected.Left);
    EXPECT_EQ(place.Top, row.Expected.Top);
  }
}

} // namespace
