// The server's element record as a STATSTG: fields, and the name read only
// within its 64-byte field.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/ClientStatStg.h"

namespace {

using vantrel::client::ConvertStatStg;
using vantrel::zel::wire::StatStg;

TEST(ClientStatStgTest, FieldsAndNames) {
  StatStg rec;
  rec.type = STGTY_STREAM;
  rec.size = 0x123456789ull;
  rec.mtime = 0x0102030405060708ull;
  rec.ctime = 0x1112131415161718ull;
  rec.atime = 0x2122232425262728ull;
  rec.mode = 0x12;
  rec.locks_supported = 3;
  for (int i = 0; i < 16; ++i) rec.clsid[i] = static_cast<std::uint8_t>(i + 1);
  rec.state_bits = 7;

  struct Case {
    std::string name;  // bytes of the field; a NUL is added when it fits
    DWORD flag;
    std::u16string expected;
    bool has_name;
  } cases[] = {
      {"Contents", STATFLAG_DEFAULT, u"Contents", true},
      {"Contents", STATFLAG_NONAME, u"", false},
      // Bytes are the low bytes of the server's UTF-16 units.
      {"\x80 \xe9t\xe9", STATFLAG_DEFAULT, u"\u0080 \u00e9t\u00e9", true},
      // A full field without its NUL: 63 characters and no byte beyond.
      {std::string(64, 'x'), STATFLAG_DEFAULT, std::u16string(63, u'x'), true},
  };
  for (const Case& c : cases) {
    rec.name.fill('\0');
    std::memcpy(rec.name.data(), c.name.data(), std::min(c.name.size(), rec.name.size()));
    STATSTG out;
    std::memset(&out, 0xCC, sizeof out);
    ASSERT_EQ(ConvertStatStg(rec, c.flag, &out), S_OK);
    EXPECT_EQ(out.type, STGTY_STREAM);
    EXPECT_EQ(out.cbSize.QuadPart, 0x123456789ull);
    EXPECT_EQ(out.mtime.dwLowDateTime, 0x05060708u);
    EXPECT_EQ(out.mtime.dwHighDateTime, 0x01020304u);
    EXPECT_EQ(out.ctime.dwLowDateTime, 0x15161718u);
    EXPECT_EQ(out.atime.dwHighDateTime, 0x21222324u);
    EXPECT_EQ(out.grfMode, 0x12u);
    EXPECT_EQ(out.grfLocksSupported, 3u);
    EXPECT_EQ(std::memcmp(&out.clsid, rec.clsid.data(), 16), 0);
    EXPECT_EQ(out.grfStateBits, 7u);
    if (!c.has_name) {
      EXPECT_EQ(out.pwcsName, nullptr);
      continue;
    }
    ASSERT_NE(out.pwcsName, nullptr);
    EXPECT_EQ(std::u16string(out.pwcsName), c.expected);
    CoTaskMemFree(out.pwcsName);
  }
}

}  // namespace
