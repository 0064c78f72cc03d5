// Large byte buffers are placed by hand in fresh mappings (a small head on
// ordinary pages, the rest on huge pages); every byte asked for must be
// there, apart from every other buffer's, and given back whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform.h"

namespace brevok {
namespace {

class LargeBuffer : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LargeBuffer, HoldsEveryByteApartFromOthers) {
  const std::size_t size = GetParam();
  std::vector<ByteBuffer> buffers(3);
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    ASSERT_TRUE(buffers[i].allocate(size));
    ASSERT_EQ(buffers[i].capacity(), size);
    std::memset(buffers[i].data(), static_cast<int>('a' + i), size);
  }
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    const char* p = buffers[i].data();
    const char want = static_cast<char>('a' + i);
    EXPECT_EQ(p[0], want);
    EXPECT_EQ(p[size / 2], want);
    EXPECT_EQ(p[size - 1], want);
    EXPECT_EQ(std::string(p, size).find_first_not_of(want), std::string::npos);
  }
}

// Around the size where buffers leave malloc, and sizes that end inside a
// page or a huge page.
INSTANTIATE_TEST_SUITE_P(Sizes, LargeBuffer,
                         ::testing::Values(std::size_t(1), std::size_t(4 << 20) - 1, std::size_t(4 << 20),
                                           std::size_t(4 << 20) + 1, std::size_t(5 << 20) + 4095,
                                           std::size_t(6 << 20) + (256 << 10), std::size_t(9 << 20) - 7));

TEST(LargeBuffer, AllocatesAgainAfterRelease) {
  for (int round = 0; round < 20; ++round) {
    ByteBuffer b;
    ASSERT_TRUE(b.allocate(std::size_t(8) << 20));
    b.data()[0] = 'x';
    b.data()[(std::size_t(8) << 20) - 1] = 'y';
  }
}

}  // namespace
}  // namespace brevok
