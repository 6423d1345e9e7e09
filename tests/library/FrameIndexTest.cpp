// The frame index on packet lists made by hand: frame order, key frames to start from, and the
// pictures a stream cut inside a GOP cannot show.
#include <gtest/gtest.h>

#include "FrameIndex.h"

namespace {

using zr8::FrameIndex;
using zr8::PacketEntry;

// Packets in decode order with these presentation times; key frames where `keys` says 'K'.
std::vector<PacketEntry> Packets(const std::vector<int64_t>& times, const std::string& keys) {
  std::vector<PacketEntry> packets;
  for (size_t i = 0; i < times.size(); ++i) {
    packets.push_back(PacketEntry{times[i], static_cast<int64_t>(i), static_cast<int64_t>(i) * 100,
                                  1, 100, keys[i] == 'K', true});
  }
  return packets;
}

TEST(FrameIndexTest, OpenGopLeadingPicturesStartFromTheGopBefore) {
  // I0 P3 B1 B2 | I6 B4 B5 P9 B7 B8: B4 and B5 refer to P3 (open GOP).
  FrameIndex index;
  ASSERT_TRUE(index.OrderByTimes(Packets({0, 3, 1, 2, 6, 4, 5, 9, 7, 8}, "K...K.....")));
  ASSERT_EQ(index.frameCount(), 10);
  const std::vector<int64_t> decodeOrder{0, 2, 3, 1, 5, 6, 4, 8, 9, 7};
  for (int64_t n = 0; n < 10; ++n) EXPECT_EQ(index.decodeIndexOf(n), decodeOrder[n]) << n;
  EXPECT_EQ(index.FrameOf(4), 6);
  EXPECT_EQ(index.keys()[index.KeyFor(3)], 0);
  EXPECT_EQ(index.keys()[index.KeyFor(4)], 0);  // leading picture of the second GOP
  EXPECT_EQ(index.keys()[index.KeyFor(5)], 0);
  EXPECT_EQ(index.keys()[index.KeyFor(6)], 4);
  EXPECT_EQ(index.keys()[index.KeyFor(9)], 4);
}

TEST(FrameIndexTest, MissingOrRepeatedTimesNeedADecode) {
  FrameIndex index;
  auto packets = Packets({0, 2, 1}, "K..");
  packets[2].pts = -0x7fffffffffffffffLL - 1;  // AV_NOPTS_VALUE
  EXPECT_FALSE(index.OrderByTimes(packets));
  EXPECT_FALSE(index.OrderByTimes(Packets({0, 2, 2}, "K..")));

  // The decode presented packets 0, 2, 1 and dropped 3; packet 1 came out twice.
  index.OrderByOutputs(Packets({0, 0, 0, 0}, "K..."), {0, 2, 1, 1, -1, 17});
  ASSERT_EQ(index.frameCount(), 3);
  EXPECT_EQ(index.decodeIndexOf(1), 2);
  EXPECT_EQ(index.FrameOf(3), FrameIndex::kNone);
  EXPECT_EQ(index.FrameOf(99), FrameIndex::kNone);
  EXPECT_FALSE(index.byTimes());
}

TEST(FrameIndexTest, StreamCutInsideAGopShowsFromItsFirstKeyFrame) {
  // B-1 P2 | I4 B3 P6 B5: the first two packets and B3 (shown before I4) refer to what is missing.
  FrameIndex index;
  ASSERT_TRUE(index.OrderByTimes(Packets({1, 2, 4, 3, 6, 5}, "..K...")));
  ASSERT_EQ(index.frameCount(), 3);
  EXPECT_EQ(index.decodeIndexOf(0), 2);
  EXPECT_EQ(index.decodeIndexOf(1), 5);
  EXPECT_EQ(index.FrameOf(3), FrameIndex::kNone);
  EXPECT_EQ(index.keys()[index.KeyFor(2)], 2);
}

}  // namespace
