#include <gtest/gtest.h>

#include "error.h"

namespace brevok {
namespace {

TEST(Error, RendersTheChainOutermostFirst) {
  Error e = Error::os("No such file or directory", true).context("stating remote file /x");
  EXPECT_EQ(e.full(), "stating remote file /x: No such file or directory");
  EXPECT_EQ(e.outermost(), "stating remote file /x");
  EXPECT_TRUE(e.has_cause());
  EXPECT_FALSE(e.is_not_found());  // wrapped: no longer the bare system error
}

TEST(Error, FreshErrorHasOneMessage) {
  Error e("unknown argument: x");
  EXPECT_EQ(e.full(), "unknown argument: x");
  EXPECT_EQ(e.outermost(), "unknown argument: x");
  EXPECT_FALSE(e.has_cause());
}

TEST(Error, EmptyInnerMessageStillJoins) {
  Error e = Error("").context("outer");
  EXPECT_EQ(e.full(), "outer: ");
}

}  // namespace
}  // namespace brevok
