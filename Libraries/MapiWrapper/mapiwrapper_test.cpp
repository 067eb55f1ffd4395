#include <gtest/gtest.h>

#include <cstring>

#include "Libraries/MapiWrapper/MapiException.h"
#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/PropValue.h"
#include "Libraries/MapiWrapper/RowSet.h"
#include "platform/base/CodePage.h"
#include "platform/mapi/MemoryProp.h"

namespace {

// A value built in place for the cases; strings point at static data.
SPropValue Make(ULONG tag) {
  SPropValue v{};
  v.ulPropTag = tag;
  return v;
}

}  // namespace

TEST(PropValue, ToText) {
  static BYTE bytes[] = {0x0F, 0xA0};
  static char a[] = "a", b[] = "b";
  static LPSTR ab[] = {a, b};
  static char str[] = "plain; text";
  static char16_t wide[] = u"caf\u00e9";

  std::vector<std::pair<SPropValue, std::string>> cases;
  auto add = [&](SPropValue v, std::string text) { cases.emplace_back(v, std::move(text)); };
  SPropValue v = Make(PROP_TAG(PT_BINARY, 0x6000));
  v.Value.bin = {2, bytes};
  add(v, "0FA0");
  v = Make(PROP_TAG(PT_MV_STRING8, 0x6001));
  v.Value.MVszA = {2, ab};
  add(v, "a;b");
  v = Make(PR_SUBJECT);
  v.Value.lpszA = str;
  add(v, "plain; text");
  v = Make(PROP_TAG(PT_UNICODE, 0x6002));
  v.Value.lpszW = wide;
  add(v, vantrel::Utf8ToAnsi("café"));
  v = Make(PROP_TAG(PT_I2, 0x6003));
  v.Value.i = -5;
  add(v, "-5");
  v = Make(PR_ROWID);
  v.Value.l = 123456;
  add(v, "123456");
  v = Make(PROP_TAG(PT_BOOLEAN, 0x6004));
  v.Value.b = 1;
  add(v, "-1");
  v.Value.b = 0;
  add(v, "0");
  v = Make(PROP_TAG(PT_DOUBLE, 0x6005));
  v.Value.dbl = 2.5;
  add(v, "2.5");
  v = Make(PROP_TAG(PT_R4, 0x6006));
  v.Value.flt = 0.1f;
  add(v, "0.1");
  v = Make(PROP_TAG(PT_CURRENCY, 0x6007));
  v.Value.cur.int64 = 125000;
  add(v, "12.5");
  v = Make(PROP_TAG(PT_APPTIME, 0x6008));
  v.Value.at = 36526.5;
  add(v, "2000-01-01 12:00:00");
  v = Make(PROP_TAG(PT_SYSTIME, 0x6009));
  v.Value.ft = QuadToFileTime(116444736000000000ULL + 90061ULL * 10000000ULL);  // 1970-01-02 01:01:01 UTC
  add(v, "1970-01-02 01:01:01");
  v = Make(PROP_TAG(PT_ERROR, 0x600A));
  v.Value.err = MAPI_E_NOT_FOUND;
  add(v, "<Empty (PT_ERROR)>");
  v = Make(PROP_TAG(PT_CLSID, 0x600B));
  add(v, "");
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(CPropValue::View(&value).ToString(), text) << std::hex << value.ulPropTag;
    EXPECT_EQ(CPropValue::Copy(value).ToString(), text) << std::hex << value.ulPropTag;
  }
  EXPECT_EQ(CPropValue().ToString(), "");
  EXPECT_FALSE(CPropValue().Present());
}

TEST(PropValue, FromText) {
  CPropValue v;
  ASSERT_TRUE(v.FromString(PROP_TAG(PT_BINARY, 0x6000), "0FA0"));
  ASSERT_EQ(v->Value.bin.cb, 2u);
  EXPECT_EQ(v->Value.bin.lpb[0], 0x0F);
  EXPECT_EQ(v->Value.bin.lpb[1], 0xA0);
  EXPECT_EQ(v.ToString(), "0FA0");

  ASSERT_TRUE(v.FromString(PROP_TAG(PT_MV_STRING8, 0x6001), "a;b;"));
  ASSERT_EQ(v->Value.MVszA.cValues, 3u);
  EXPECT_STREQ(v->Value.MVszA.lppszA[0], "a");
  EXPECT_STREQ(v->Value.MVszA.lppszA[1], "b");
  EXPECT_STREQ(v->Value.MVszA.lppszA[2], "");

  ASSERT_TRUE(v.FromString(PR_ROWID, " -42 "));
  EXPECT_EQ(v->Value.l, -42);
  ASSERT_TRUE(v.FromString(PR_SUBJECT, "x=y;z"));
  EXPECT_STREQ(v->Value.lpszA, "x=y;z");
  ASSERT_TRUE(v.FromString(PROP_TAG(PT_UNICODE, 0x6002), vantrel::Utf8ToAnsi("café")));
  EXPECT_EQ(std::u16string(v->Value.lpszW), u"caf\u00e9");
  ASSERT_TRUE(v.FromString(PROP_TAG(PT_SYSTIME, 0x6009), "1970-01-02 01:01:01"));
  EXPECT_EQ(FileTimeToQuad(v->Value.ft), 116444736000000000ULL + 90061ULL * 10000000ULL);

  // Nothing converts: the value stays as it was.
  for (auto [tag, text] : std::vector<std::pair<ULONG, const char*>>{{PROP_TAG(PT_BINARY, 1), "0G"},
                                                                     {PROP_TAG(PT_BINARY, 1), "ABC"},
                                                                     {PR_ROWID, "twelve"},
                                                                     {PROP_TAG(PT_SYSTIME, 1), "yesterday"},
                                                                     {PROP_TAG(PT_DOUBLE, 1), "2.5"},
                                                                     {PROP_TAG(PT_BOOLEAN, 1), "1"}}) {
    EXPECT_FALSE(v.FromString(tag, text)) << text;
    EXPECT_EQ(v.Type(), PT_SYSTIME);
  }
}

TEST(PropValue, IntegersOwnershipAndTags) {
  struct Case {
    ULONG type;
    LONG set, read;
  } cases[] = {{PT_I2, -7, -7}, {PT_LONG, 1 << 30, 1 << 30}, {PT_R4, 3, 3}, {PT_DOUBLE, -9, -9}, {PT_BOOLEAN, 5, 1}};
  for (const Case& c : cases) {
    CPropValue v(PROP_TAG(c.type, 0x6100));
    EXPECT_EQ(v.ToLong(), 0);
    ASSERT_TRUE(v.SetLong(c.set)) << c.type;
    EXPECT_EQ(v.ToLong(), c.read) << c.type;
    EXPECT_EQ(v.Tag(), PROP_TAG(c.type, 0x6100));
  }
  CPropValue s;
  s.SetString(PR_SUBJECT, "x");
  EXPECT_FALSE(s.SetLong(1));
  EXPECT_EQ(s.ToLong(), 0);

  // Copies are deep; views share and free nothing.
  CPropValue a;
  a.SetString(PR_SUBJECT, "first");
  CPropValue b = a;
  a.SetString(PR_SUBJECT, "second");
  EXPECT_STREQ(b->Value.lpszA, "first");
  {
    CPropValue view = CPropValue::View(b.get());
    EXPECT_FALSE(view.Owns());
  }
  EXPECT_STREQ(b->Value.lpszA, "first");
  CPropValue moved = std::move(b);
  EXPECT_FALSE(b.Present());
  EXPECT_STREQ(moved->Value.lpszA, "first");
}

TEST(Binary, TextEqualityAndSource) {
  CBinary bin;
  ASSERT_TRUE(bin.FromString("0FA0"));
  EXPECT_EQ(bin.Size(), 2u);
  EXPECT_EQ(bin.ToString(), "0FA0");
  EXPECT_EQ(bin.Data()[2], 0);  // spare bytes past the end
  BYTE raw[] = {0x0F, 0xA0};
  EXPECT_EQ(bin, CBinary(raw, 2));
  EXPECT_FALSE(bin == CBinary(raw, 1));
  EXPECT_EQ(bin, bin);
  EXPECT_FALSE(bin.FromString("0"));
  EXPECT_TRUE(bin.Empty());

  SPropValue v = Make(PROP_TAG(PT_BINARY, 0x6000));
  v.Value.bin = {2, raw};
  EXPECT_EQ(CBinary::FromPropValue(&v).ToString(), "0FA0");
  v.ulPropTag = PR_ROWID;
  EXPECT_TRUE(CBinary::FromPropValue(&v).Empty());
  EXPECT_TRUE(CBinary::FromPropValue(nullptr).Empty());
}

TEST(MapiWrapper, GuidText) {
  GUID g{0xB8909CC3, 0xA0BA, 0x4494, {0x87, 0x80, 0xD2, 0x01, 0x8C, 0xEB, 0x43, 0x1E}};
  EXPECT_EQ(vantrel::mapiwrapper::GuidText(g), "B8909CC3-A0BA-4494-8780-D2018CEB431E");
  GUID back{};
  ASSERT_TRUE(vantrel::mapiwrapper::GuidFromText("B8909CC3-A0BA-4494-8780-D2018CEB431E", &back));
  EXPECT_EQ(back, g);
  EXPECT_FALSE(vantrel::mapiwrapper::GuidFromText("B8909CC3-A0BA-4494-8780", &back));
}

TEST(MapiWrapper, ChecksAndTheReportHook) {
  EXPECT_EQ(CheckHr(S_OK), S_OK);
  EXPECT_EQ(CheckHr(MAPI_W_ERRORS_RETURNED), MAPI_W_ERRORS_RETURNED);
  try {
    CheckHr(MAPI_E_NOT_FOUND);
    FAIL();
  } catch (const CMAPIException& e) {
    EXPECT_EQ(e.Hr(), MAPI_E_NOT_FOUND);
    EXPECT_EQ(e.Context(), "");
  }
  std::vector<std::string> seen;
  auto previous = vantrel::mapiwrapper::SetHrReportHook([&](HRESULT hr, const char* name, const char* file, int line) {
    seen.push_back(std::to_string(hr) + " " + name + " " + file + ":" + std::to_string(line));
  });
  EXPECT_EQ(FailedHr(MAPI_E_CALL_FAILED, "OpenEntry", "MapiWrapper", 7), MAPI_E_CALL_FAILED);
  EXPECT_EQ(FailedHr(MAPI_W_ERRORS_RETURNED, "GetProps", "MapiWrapper", 8), 0);
  EXPECT_TRUE(SucceededHr(S_OK, "SetColumns", "x.cpp", 9));
  EXPECT_FALSE(SucceededHr(MAPI_E_NO_SUPPORT, "SetColumns", "x.cpp", 10));
  vantrel::mapiwrapper::SetHrReportHook(previous);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], std::to_string(MAPI_E_CALL_FAILED) + " OpenEntry MapiWrapper:7");
}

TEST(RowSet, RowsAndColumnsPastTheEnd) {
  LPSRowSet rows = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(1)), reinterpret_cast<LPVOID*>(&rows)), S_OK);
  rows->cRows = 1;
  LPSPropValue props = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(2 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&props)), S_OK);
  props[0] = Make(PR_ROWID);
  props[0].Value.l = 3;
  props[1] = Make(PR_NULL);
  rows->aRow[0] = SRow{0, 2, props};
  CRowSet set(rows);
  EXPECT_EQ(set.Count(), 1u);
  EXPECT_EQ(set[0].Value(0).ToLong(), 3);
  EXPECT_FALSE(set[0].Value(0).Owns());
  EXPECT_FALSE(set[0].Value(2).Present());
  EXPECT_EQ(set[1].Count(), 0u);
  EXPECT_FALSE(set[1].Value(0).Present());
}

namespace {

// A container whose calls answer what the test says: properties in a list,
// every other call the result in `fail`.
class FakeContainer : public vantrel::mapi::MapiPropBase<IMAPIContainer> {
 public:
  HRESULT fail = MAPI_E_NO_SUPPORT;
  ULONG named_tag = PROP_TAG(PT_UNSPECIFIED, 0x8005);
  std::vector<CPropValue> props;
  ULONG refs = 1;

  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }  // lives on the test's stack
  HRESULT Unsupported() override { return fail; }
  HRESULT SaveChanges(ULONG) override { return fail; }
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    LPSPropValue out = nullptr;
    MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * tags->cValues), reinterpret_cast<LPVOID*>(&out));
    HRESULT hr = S_OK;
    for (ULONG i = 0; i < tags->cValues; ++i) {
      out[i].ulPropTag = CHANGE_PROP_TYPE(tags->aulPropTag[i], PT_ERROR);
      out[i].Value.err = MAPI_E_NOT_FOUND;
      for (const CPropValue& p : props) {
        if (PROP_ID(p.Tag()) == PROP_ID(tags->aulPropTag[i]))
          PropCopyMore(&out[i], const_cast<LPSPropValue>(p.get()), MAPIAllocateMore, out);
      }
      if (PROP_TYPE(out[i].ulPropTag) == PT_ERROR) hr = MAPI_W_ERRORS_RETURNED;
    }
    *count = tags->cValues;
    *values = out;
    return hr;
  }
  HRESULT SetProps(ULONG n, LPSPropValue values, LPSPropProblemArray*) override {
    if (FAILED(fail) && fail != MAPI_E_NO_SUPPORT) return fail;
    for (ULONG i = 0; i < n; ++i) props.push_back(CPropValue::Copy(values[i]));
    return S_OK;
  }
  HRESULT GetIDsFromNames(ULONG n, LPMAPINAMEID*, ULONG, LPSPropTagArray* tags) override {
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(n)), reinterpret_cast<LPVOID*>(tags));
    (*tags)->cValues = n;
    (*tags)->aulPropTag[0] = named_tag;
    return PROP_TYPE(named_tag) == PT_ERROR ? MAPI_W_ERRORS_RETURNED : S_OK;
  }
  HRESULT GetContentsTable(ULONG, LPMAPITABLE*) override { return fail; }
  HRESULT GetHierarchyTable(ULONG, LPMAPITABLE*) override { return fail; }
  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override { return fail; }
  HRESULT SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return fail; }
  HRESULT GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override { return fail; }
};

template <typename F>
std::pair<HRESULT, std::string> Thrown(F f) {
  try {
    f();
  } catch (const CMAPIException& e) {
    return {e.Hr(), e.Context()};
  }
  return {S_OK, "nothing thrown"};
}

}  // namespace

TEST(MapiWrapper, PropertyOperationsAndTheirContexts) {
  FakeContainer fake;
  {
    CGenMapiContPtr cont(static_cast<IMAPIContainer*>(&fake));
    EXPECT_EQ(fake.refs, 2u);
    CGenMapiContPtr copy = cont;
    EXPECT_EQ(fake.refs, 3u);

    cont.SetProp(PROP_TAG(PT_I2, 0x6000), LONG{-3});
    cont.SetProp(PROP_TAG(PT_BOOLEAN, 0x6001), true);
    cont.SetProp(PR_SUBJECT, std::string_view("hello"));
    EXPECT_EQ(cont.GetLongProp(PROP_TAG(PT_I2, 0x6000)), -3);
    EXPECT_EQ(cont.GetLongProp(PROP_TAG(PT_BOOLEAN, 0x6001)), 1);
    CPropArray values = cont.GetProps({PR_SUBJECT, PR_TITLE});
    EXPECT_EQ(values[0].ToString(), "hello");
    EXPECT_EQ(values[1].Type(), PT_ERROR);
    EXPECT_EQ(cont.GetIDFromName(PS_PUBLIC_STRINGS, u"Keywords", PT_MV_STRING8), PROP_TAG(PT_MV_STRING8, 0x8005));

    EXPECT_EQ(Thrown([&] { cont.GetLongProp(PR_TITLE); }),
              std::make_pair(MAPI_E_NOT_FOUND, std::string("CGenMapiPropPtr::GetLongProp")));
    EXPECT_EQ(Thrown([&] { cont.SetProp(PR_ROWID, std::string_view("many")); }),
              std::make_pair(MAPI_E_INVALID_PARAMETER, std::string("CGenMapiPropPtr::SetProp")));
    EXPECT_EQ(Thrown([&] { cont._rawContentsTable(); }),
              std::make_pair(MAPI_E_NO_SUPPORT, std::string("CGenMapiContPtr::_rawContentsTable")));
    EXPECT_EQ(Thrown([&] { cont._rawAssociatedTable(); }),
              std::make_pair(MAPI_E_NO_SUPPORT, std::string("CGenMapiContPtr::_rawAssociatedTable")));
    EXPECT_EQ(Thrown([&] { cont._rawHierrarchyTable(); }),
              std::make_pair(MAPI_E_NO_SUPPORT, std::string("CGenMapiContPtr::_rawHierrarchyTable")));
    CBinary id;
    id.FromString("00000000AB");
    EXPECT_EQ(Thrown([&] { cont.OpenEntry(id); }),
              std::make_pair(MAPI_E_NO_SUPPORT, std::string("CGenMapiContPtr::OpenEntry")));
    EXPECT_EQ(Thrown([&] { cont.OpenEntryv(id); }),
              std::make_pair(MAPI_E_NO_SUPPORT, std::string("CGenMapiContPtr::OpenEntryv")));
    EXPECT_EQ(Thrown([&] { cont.Parent(); }),  // no PR_PARENT_ENTRYID
              std::make_pair(MAPI_E_NOT_FOUND, std::string("CGenMapiContPtr::Parent")));
    fake.named_tag = PROP_TAG(PT_ERROR, 0);
    EXPECT_EQ(Thrown([&] { cont.GetIDFromName(PS_PUBLIC_STRINGS, LONG{7}, PT_LONG); }),
              std::make_pair(MAPI_E_NOT_FOUND, std::string("CGenMapiPropPtr::GetIDFromName")));
    fake.fail = MAPI_E_NO_ACCESS;
    EXPECT_EQ(Thrown([&] { cont.SetLongProp(PR_ROWID, 1); }),
              std::make_pair(MAPI_E_NO_ACCESS, std::string("CGenMapiPropPtr::SetLongProp")));
    EXPECT_EQ(Thrown([&] { cont.SetProp(PR_SUBJECT, std::string_view("x")); }),
              std::make_pair(MAPI_E_NO_ACCESS, std::string("CGenMapiPropPtr::SetProp")));
  }
  EXPECT_EQ(fake.refs, 1u);  // every wrapper gave its reference back
}
