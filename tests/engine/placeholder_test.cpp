#include <gtest/gtest.h>
TEST(Placeholder, Engine) {}
