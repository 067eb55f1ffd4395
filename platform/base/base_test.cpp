#include <gtest/gtest.h>

#include "platform/base/ByteCoder.h"
#include "platform/base/CodePage.h"
#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/base/SystemInfo.h"
#include "platform/base/Unknown.h"

namespace vantrel {
namespace {

TEST(ByteCoder, WritesLittleEndianAndReadsItBack) {
  std::vector<std::uint8_t> b;
  LeWriter w(b);
  w.U8(0x01);
  w.U16(0x0302);
  w.U32(0x07060504);
  w.U64(0x0F0E0D0C0B0A0908ull);
  w.Bytes("\x10\x11", 2);
  std::vector<std::uint8_t> want(17);
  for (int i = 0; i < 17; ++i) want[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_EQ(b, want);
  EXPECT_EQ(LoadLe16(&b[1]), 0x0302);
  EXPECT_EQ(LoadLe32(&b[3]), 0x07060504u);
  EXPECT_EQ(LoadLe64(&b[7]), 0x0F0E0D0C0B0A0908ull);

  LeReader r(b);
  std::uint8_t u8;
  std::uint16_t u16;
  std::uint32_t u32;
  std::uint64_t u64;
  ASSERT_TRUE(r.U8(u8) && r.U16(u16) && r.U32(u32) && r.U64(u64));
  EXPECT_EQ(u64, 0x0F0E0D0C0B0A0908ull);
  EXPECT_EQ(r.left(), 2u);
  // A read that does not fit fails, leaves its output alone, and every
  // read after it fails too, even one that would fit.
  u32 = 42;
  EXPECT_FALSE(r.U32(u32));
  EXPECT_EQ(u32, 42u);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.U8(u8));
  EXPECT_EQ(r.left(), 0u);
}

TEST(ByteCoder, NeedRefusesCountsThatOverflowOrExceedTheInput) {
  std::vector<std::uint8_t> b(16);
  struct Case {
    std::size_t count, size;
    bool fits;
  } cases[] = {{4, 4, true}, {5, 4, false}, {0, 8, true}, {16, 0, true}, {SIZE_MAX / 2 + 1, 2, false},
               {SIZE_MAX, SIZE_MAX, false}};
  for (const auto& c : cases) {
    LeReader r(b);
    EXPECT_EQ(r.Need(c.count, c.size), c.fits) << c.count << " x " << c.size;
    EXPECT_EQ(r.ok(), c.fits);
  }
}

TEST(CodePage, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16(all)), all);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
}

TEST(CodePage, Conversions) {
  struct Case {
    std::u16string wide;
    std::string ansi;
  } cases[] = {
      {u"abc", "abc"},
      {u"\u00C4\u00FC\u00DF", "\xC4\xFC\xDF"},  // Latin-1 half
      {u"\u20AC\u2122\u0152", "\x80\x99\x8C"},  // the 0x80..0x9F block
      {u"\u4E2D\u0416", "??"},                  // outside the code page
      {u"x\U0001F600y", "x?y"},                 // a surrogate pair is one character
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToAnsi(c.wide), c.ansi);
    if (c.ansi.find('?') == std::string::npos) {
      EXPECT_EQ(AnsiToUtf16(c.ansi), c.wide);
    }
  }
  EXPECT_EQ(FoldAnsi("JSmith \xC4\xDE\xD7\xDF"), "jsmith \xE4\xFE\xD7\xDF");  // x and sharp s stay
  EXPECT_EQ(Utf16ToUtf8(u"\u20AC\U0001F600"), "\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82\xAC\xF0\x9F\x98\x80"), u"\u20AC\U0001F600");
}

TEST(Guid, TextAndBytes) {
  GUID g{0xB8909CC3, 0xA0BA, 0x4494, {0x87, 0x80, 0xD2, 0x01, 0x8C, 0xEB, 0x43, 0x1E}};
  EXPECT_EQ(GuidToString(g), "B8909CC3-A0BA-4494-8780-D2018CEB431E");
  EXPECT_EQ(GuidFromString("B8909CC3-A0BA-4494-8780-D2018CEB431E"), g);
  EXPECT_EQ(GuidFromString("{b8909cc3-a0ba-4494-8780-d2018ceb431e}"), g);
  EXPECT_FALSE(GuidFromString("B8909CC3-A0BA-4494-8780-D2018CEB431"));
  EXPECT_FALSE(GuidFromString("B8909CC3xA0BA-4494-8780-D2018CEB431E"));
  const std::uint8_t expect[16] = {0xC3, 0x9C, 0x90, 0xB8, 0xBA, 0xA0, 0x94, 0x44,
                                   0x87, 0x80, 0xD2, 0x01, 0x8C, 0xEB, 0x43, 0x1E};
  auto bytes = GuidToBytes(g);
  EXPECT_EQ(0, std::memcmp(bytes.data(), expect, 16));
  EXPECT_EQ(GuidFromBytes(expect), g);
  EXPECT_EQ(GuidToString(IID_IStreamDocfile), "0002032C-0000-0000-C000-000000000046");
  EXPECT_NE(NewGuid(), NewGuid());
}

TEST(HResult, PublishedValuesAndNames) {
  EXPECT_EQ(MAPI_E_NO_SUPPORT, HR(0x80040102));
  EXPECT_EQ(MAPI_E_NOT_FOUND, HR(0x8004010F));
  EXPECT_EQ(MAPI_W_ERRORS_RETURNED, 0x00040380);
  EXPECT_EQ(E_ACCESSDENIED, HR(0x80070005));
  EXPECT_EQ(RPC_X_BAD_STUB_DATA, 1783);
  EXPECT_EQ(WSAECONNREFUSED, 10061);
  EXPECT_TRUE(FAILED(MAPI_E_CALL_FAILED));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
  EXPECT_STREQ(CodeName(MAPI_E_NOT_FOUND), "MAPI_E_NOT_FOUND");
  EXPECT_STREQ(CodeName(1722), "RPC_S_SERVER_UNAVAILABLE");
  EXPECT_EQ(CodeName(HR(0x12345678)), nullptr);
}

struct IThing : IUnknown {
  static constexpr IID kIID = MakeOleGuid(0x12345);
  virtual int Value() = 0;
};

class Thing : public RefCounted<IThing> {
 public:
  explicit Thing(int* alive) : alive_(alive) { ++*alive_; }
  ~Thing() override { --*alive_; }
  int Value() override { return 7; }

 private:
  int* alive_;
};

TEST(Unknown, ReferenceCountingAndQuery) {
  int alive = 0;
  {
    auto t = ComPtr<IThing>::Adopt(new Thing(&alive));
    EXPECT_EQ(alive, 1);
    ComPtr<IThing> copy = t;
    IUnknown* unk = nullptr;
    ASSERT_EQ(t->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    unk->Release();
    IThing* thing = nullptr;
    ASSERT_EQ(t->QueryInterface(IThing::kIID, reinterpret_cast<void**>(&thing)), S_OK);
    EXPECT_EQ(thing->Value(), 7);
    thing->Release();
    void* none = &alive;
    EXPECT_EQ(t->QueryInterface(IID_IStream, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(alive, 0);
}

TEST(SystemInfo, ClockAndNames) {
  DWORD a = GetTickCount();
  EXPECT_LT(static_cast<DWORD>(GetTickCount() - a), 1000u);  // wraps like the platform's counter
  EXPECT_FALSE(ComputerName().empty());
  EXPECT_FALSE(UserName().empty());
  // 2020-01-01 in FILETIME ticks is 132223104000000000.
  EXPECT_GT(FileTimeToQuad(CurrentFileTime()), 132223104000000000ULL);
}

}  // namespace
}  // namespace vantrel
