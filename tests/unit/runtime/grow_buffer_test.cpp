#include "runtime/grow_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "tests/unit/fake/fake_system.h"

namespace wr {
namespace {

using testing::FakeSystem;
using testing::FatalStopped;

TEST(GrowBuffer, GrowthKeepsEveryElement) {
  FakeSystem os;
  GrowBuffer<int> buffer(os);
  EXPECT_TRUE(buffer.empty());
  for (int i = 0; i < 5000; ++i) {
    buffer.Push(i * 7);
    ASSERT_EQ(buffer.size(), static_cast<std::size_t>(i + 1));
    ASSERT_EQ(buffer[0], 0);
    ASSERT_EQ(buffer.back(), i * 7);
  }
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(buffer[static_cast<std::size_t>(i)], i * 7);
}

TEST(GrowBuffer, AppendAcrossSeveralGrowths) {
  FakeSystem os;
  Text text(os);
  std::string expected;
  for (int round = 0; round < 40; ++round) {
    const std::string piece(static_cast<std::size_t>(round * 13 + 1), static_cast<char>('a' + round % 26));
    text.Append(piece.data(), piece.size());
    expected += piece;
    ASSERT_EQ(std::string(View(text)), expected);
  }
  text.Append(nullptr, 0);
  EXPECT_EQ(std::string(View(text)), expected);
}

// The source of an append may be the buffer's own storage, which the growth
// for that very append moves elsewhere.
TEST(GrowBuffer, AppendingItsOwnContentsWhileGrowing) {
  FakeSystem os;
  Text text(os);
  text.Append("abcdefgh", 8);  // exactly the first capacity
  text.Append(text.data(), text.size());
  EXPECT_EQ(std::string(View(text)), "abcdefghabcdefgh");
  text.Append(text.data() + 3, 4);
  EXPECT_EQ(std::string(View(text)), "abcdefghabcdefghdefg");
  for (int i = 0; i < 6; ++i) text.Append(text.data(), text.size());
  EXPECT_EQ(text.size(), 20u * 64u);
  EXPECT_EQ(std::string(View(text)).substr(1260), "abcdefghabcdefghdefg");
}

TEST(GrowBuffer, ReserveKeepsContentsAndResizeValueInitialises) {
  FakeSystem os;
  WideText text(os);
  text.Append(u"abc", 3);
  text.Reserve(1000);
  EXPECT_EQ(View(text), u"abc");
  text.Resize(6);
  EXPECT_EQ(View(text), std::u16string_view(u"abc\0\0\0", 6));
  text.Resize(2);
  EXPECT_EQ(View(text), u"ab");
  text.Truncate(5);  // never grows
  EXPECT_EQ(View(text), u"ab");
  text.Clear();
  EXPECT_TRUE(text.empty());
}

TEST(GrowBuffer, IndexOutOfRangeIsAFatalStop) {
  FakeSystem os;
  GrowBuffer<int> buffer(os);
  EXPECT_THROW(buffer[0], FatalStopped);
  EXPECT_THROW(buffer.back(), FatalStopped);
  buffer.Push(1);
  buffer.Push(2);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_THROW(buffer[2], FatalStopped);
  EXPECT_THROW(buffer[static_cast<std::size_t>(-1)], FatalStopped);
  const GrowBuffer<int>& view = buffer;
  EXPECT_EQ(view[0], 1);
  EXPECT_THROW(view[2], FatalStopped);
  buffer.Truncate(1);
  EXPECT_THROW(buffer[1], FatalStopped);
  EXPECT_EQ(os.count("FatalStop"), 6u);
}

TEST(GrowBuffer, ImpossibleSizesAreFatalStops) {
  FakeSystem os;
  GrowBuffer<std::uint64_t> buffer(os);
  // Kept from the optimiser, which would otherwise warn about the malloc
  // size on the path the fatal stop cuts off.
  volatile std::size_t too_many = static_cast<std::size_t>(-1) / 4;
  EXPECT_THROW(buffer.Reserve(too_many), FatalStopped);
  buffer.Push(1);
  EXPECT_THROW(buffer.Append(nullptr, static_cast<std::size_t>(-1)), FatalStopped);
  EXPECT_EQ(buffer.size(), 1u);
}

// Counts live objects, so moves during growth are seen to construct and
// destroy each element exactly once.
struct Tracked {
  static inline int live = 0;
  int value = 0;
  Tracked() { ++live; }
  explicit Tracked(int v) : value(v) { ++live; }
  Tracked(Tracked&& other) noexcept : value(other.value) {
    other.value = -1;
    ++live;
  }
  Tracked(const Tracked& other) : value(other.value) { ++live; }
  ~Tracked() { --live; }
};

TEST(GrowBuffer, ElementsLiveExactlyAsLongAsTheyAreHeld) {
  Tracked::live = 0;
  FakeSystem os;
  {
    GrowBuffer<Tracked> buffer(os);
    for (int i = 0; i < 100; ++i) buffer.Push(Tracked(i));
    EXPECT_EQ(Tracked::live, 100);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(buffer[static_cast<std::size_t>(i)].value, i);
    buffer.Truncate(40);
    EXPECT_EQ(Tracked::live, 40);
    buffer.Resize(50);
    EXPECT_EQ(Tracked::live, 50);
    EXPECT_EQ(buffer[45].value, 0);

    GrowBuffer<Tracked> moved(std::move(buffer));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(moved.size(), 50u);
    EXPECT_EQ(Tracked::live, 50);

    GrowBuffer<Tracked> target(os);
    target.Push(Tracked(7));
    target = std::move(moved);
    EXPECT_EQ(Tracked::live, 50);
    EXPECT_EQ(target[39].value, 39);
    buffer.Push(Tracked(1));  // a moved-from buffer is usable again
    EXPECT_EQ(Tracked::live, 51);
  }
  EXPECT_EQ(Tracked::live, 0);
}

}  // namespace
}  // namespace wr
