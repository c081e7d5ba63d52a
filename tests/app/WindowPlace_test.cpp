// The main window's place: centred in the screen area the taskbar leaves free.
#include <gtest/gtest.h>

#include "uWindowPlace.h"

namespace {

struct TPlaceRow {
  const char* Name;
  int32_t ScreenWidth;
  int32_t ScreenHeight;
  bool HaveTaskbar;
  int Edge;
  TRect Taskbar;
  int32_t WindowWidth;
  int32_t WindowHeight;
  TWindowPlace Expected;
};

TEST(WindowPlace, CentresInTheFreeArea) {
  const TPlaceRow rows[] = {
      {"no taskbar: whole screen",
       1024,
       768,
       false,
       TaskbarEdgeBottom,
       {0, 728, 1024, 768},
       478,
       195,
       {273, 286}},
      {"bottom", 1024, 768, true, TaskbarEdgeBottom, {0, 728, 1024, 768}, 478, 195, {273, 266}},
      {"top", 1024, 768, true, TaskbarEdgeTop, {0, 0, 1024, 40}, 478, 195, {273, 306}},
      {"left", 1024, 768, true, TaskbarEdgeLeft, {0, 0, 60, 768}, 478, 195, {303, 286}},
      {"right", 1024, 768, true, TaskbarEdgeRight, {964, 0, 1024, 768}, 478, 195, {243, 286}},
      // Odd differences are cut toward zero.
      {"odd sizes", 1025, 769, true, TaskbarEdgeBottom, {0, 739, 1025, 769}, 100, 100, {462, 319}},
      // A window larger than the area: the negative half is cut toward zero too.
      {"window wider than the screen",
       400,
       300,
       false,
       TaskbarEdgeBottom,
       {0, 0, 0, 0},
       501,
       303,
       {-50, -1}},
      {"left, window taller than the area",
       800,
       200,
       true,
       TaskbarEdgeLeft,
       {0, 0, 100, 200},
       300,
       205,
       {300, -2}},
      // Only the bar's thickness counts at the right and bottom; its position at left and top.
      {"top, bar moved down",
       1024,
       768,
       true,
       TaskbarEdgeTop,
       {0, 10, 1024, 50},
       24,
       18,
       {500, 400}},
      {"right, bar not at the screen's edge",
       1000,
       700,
       true,
       TaskbarEdgeRight,
       {800, 0, 900, 700},
       100,
       100,
       {400, 300}},
      {"unknown edge: whole screen", 1024, 768, true, 7, {0, 728, 1024, 768}, 24, 18, {500, 375}},
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
