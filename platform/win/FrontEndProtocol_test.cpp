#include "platform/win/FrontEndProtocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace vantrel::win::fe {
namespace {

TEST(FrontEndProtocol, FieldsRoundTripThroughEscapes) {
  const std::string cases[] = {"", "plain", "two words", "back\\slash", "line\nbreak\r\t",
                               std::string("nul\0byte", 8), "\x01\x7F", "\\-", "ümlaut"};
  std::vector<std::string> fields(std::begin(cases), std::end(cases));
  std::string line = Join(fields);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::vector<std::string> back;
  ASSERT_TRUE(Split(line, &back)) << line;
  EXPECT_EQ(back, fields);
}

TEST(FrontEndProtocol, MalformedLinesAreRefused) {
  std::vector<std::string> f;
  for (const char* bad : {"a  b", "a ", "a\\", "a\\q", "a\\x4", "a\\xZZ", "a\tb"}) {
    EXPECT_FALSE(Split(bad, &f)) << bad;
  }
  std::int64_t v = 0;
  EXPECT_TRUE(ParseNumber("0x1F", &v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(ParseNumber("-1", &v));
  EXPECT_EQ(v, -1);
  for (const char* bad : {"", "0x", "12a", "0x10000000000000000", "-"}) EXPECT_FALSE(ParseNumber(bad, &v)) << bad;
  std::string bytes;
  for (const char* bad : {"a", "0g", "zz", "00 "}) EXPECT_FALSE(FromHexBytes(bad, &bytes)) << bad;
  const std::string png = std::string("\x89PNG\0\xff", 6);
  EXPECT_EQ(HexBytes(png), "89504e4700ff");
  ASSERT_TRUE(FromHexBytes("89504E4700ff", &bytes));
  EXPECT_EQ(bytes, png);
}

// A record crosses a socket in pieces and comes out whole; an endless line
// is refused rather than buffered.
TEST(FrontEndProtocol, RecordsCrossASocketPair) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Record r{"window", "created", Hex(0x10002), {}};
  r.Add({"class", "Edit"});
  r.Add({"title", "a b\nc"});
  r.Add({"row", "0x2", "7", "first", ""});
  std::string wire = EncodeRecord(r);
  std::thread writer([&] {
    for (char c : wire) ASSERT_TRUE(WriteAll(sv[1], std::string_view(&c, 1)));
    std::string big(kMaxLine + 10, 'x');
    WriteAll(sv[1], big);
  });
  LineReader in(sv[0]);
  std::string line;
  std::vector<std::string> fields;
  ASSERT_EQ(in.Next(&line, 5000), 1);
  ASSERT_TRUE(Split(line, &fields));
  Record got;
  ASSERT_EQ(ReadRecord(in, fields, &got, 5000), 1);
  EXPECT_EQ(got.key, "0x10002");
  EXPECT_EQ(got.Get("title"), "a b\nc");
  ASSERT_EQ(got.All("row").size(), 1u);
  EXPECT_EQ((*got.All("row")[0])[4], "");
  EXPECT_EQ(in.Next(&line, 5000), -1);
  close(sv[0]);  // the writer's rest fails rather than blocks
  writer.join();
  close(sv[1]);
}

}  // namespace
}  // namespace vantrel::win::fe
