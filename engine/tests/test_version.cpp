#include <gtest/gtest.h>

#include <c10/util/Exception.h>

#include "orrery_engine/version.h"

using orrery::engine::major_minor;
using orrery::engine::version_at_least;

TEST(Version, ReadsMajorAndMinorOfRealTorchVersions) {
  EXPECT_EQ(major_minor("1.13.0a0"), std::make_pair(1, 13));
  EXPECT_EQ(major_minor("1.5.1+cu101"), std::make_pair(1, 5));
  EXPECT_EQ(major_minor("2.1"), std::make_pair(2, 1));
}

TEST(Version, ComparesNumericallyNotAsText) {
  EXPECT_TRUE(version_at_least("1.10.0", 1, 6));
  EXPECT_FALSE(version_at_least("1.5.9", 1, 6));
  EXPECT_TRUE(version_at_least("1.6.0", 1, 6));
  EXPECT_TRUE(version_at_least("2.0.0", 1, 6));
}

TEST(Version, RejectsMalformedText) {
  EXPECT_THROW(major_minor("abc"), c10::Error);
  EXPECT_THROW(major_minor("1"), c10::Error);
  EXPECT_THROW(major_minor("1."), c10::Error);
}
