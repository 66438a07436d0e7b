#include <gtest/gtest.h>
TEST(HwPlaceholder, Builds) {}
