#include "report/writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace oskra {
namespace {

TEST(Writer, DeliversEveryByteInOrderInPiecesNoLargerThanItsCapacity) {
  const std::string big(1000, 'x');
  for (const std::size_t capacity : {1u, 3u, 7u, 64u, 4096u}) {
    std::vector<std::string> pieces;
    {
      Writer out(
          [&](std::string_view s) {
            pieces.emplace_back(s);
            return true;
          },
          capacity);
      out.put("ab");
      out.put('c');
      out.put("");
      out.put(big);
      out.put("tail");
      EXPECT_TRUE(out.flush());
      out.put("after flush");
    }  // the destructor flushes the rest
    std::string joined;
    for (const std::string& p : pieces) {
      EXPECT_FALSE(p.empty());
      EXPECT_LE(p.size(), capacity);
      joined += p;
    }
    EXPECT_EQ(joined, "abc" + big + "tail" + "after flush") << "capacity " << capacity;
  }
}

TEST(Writer, PiecesEndOnCharacterBoundaries) {
  // "中" is three bytes, "😀" four: with a capacity of 5 a plain cut would
  // split them.
  const std::string text = "a中b😀中中😀x";
  std::vector<std::string> pieces;
  {
    Writer out(
        [&](std::string_view s) {
          pieces.emplace_back(s);
          return true;
        },
        5);
    out.put(text);
  }
  std::string joined;
  for (const std::string& p : pieces) {
    std::size_t last_lead = p.size() - 1;
    while (last_lead > 0 && (static_cast<unsigned char>(p[last_lead]) & 0xC0) == 0x80) --last_lead;
    const auto lead = static_cast<unsigned char>(p[last_lead]);
    const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    EXPECT_EQ(p.size() - last_lead, need) << "piece " << pieces.size();
    EXPECT_LE(p.size(), 5u);
    joined += p;
  }
  EXPECT_EQ(joined, text);
}

TEST(Writer, FailingSinkIsRememberedAndLaterOutputDropped) {
  int calls = 0;
  Writer out(
      [&](std::string_view) {
        ++calls;
        return false;
      },
      4);
  out.put("abcdef");  // fills the buffer: the first write fails
  EXPECT_FALSE(out.ok());
  out.put("more");
  out.put('x');
  EXPECT_FALSE(out.flush());
  EXPECT_FALSE(out.ok());
  EXPECT_EQ(calls, 1);
}

TEST(Writer, SinkThatFailsAfterSomeWritesKeepsWhatWasWritten) {
  std::string received;
  int calls = 0;
  {
    Writer out(
        [&](std::string_view s) {
          if (++calls > 2) return false;
          received.append(s);
          return true;
        },
        4);
    out.put("0123");  // piece 1
    out.put("4567");  // piece 2
    EXPECT_TRUE(out.ok());
    out.put("89ab");  // piece 3 fails
    EXPECT_FALSE(out.ok());
    out.put("cdefgh");
    EXPECT_FALSE(out.flush());
  }
  EXPECT_EQ(received, "01234567");
  EXPECT_EQ(calls, 3);
}

TEST(Writer, NothingIsWrittenBeforeFlushBelowCapacityAndAnEmptySinkFails) {
  std::string received;
  Writer out(
      [&](std::string_view s) {
        received.append(s);
        return true;
      },
      100);
  out.put("short");
  EXPECT_EQ(received, "");
  EXPECT_TRUE(out.flush());
  EXPECT_EQ(received, "short");
  EXPECT_TRUE(out.flush());  // nothing buffered: the sink is not called again
  EXPECT_EQ(received, "short");

  Writer none(Writer::Sink{});
  none.put("x");
  EXPECT_FALSE(none.flush());
}

}  // namespace
}  // namespace oskra
