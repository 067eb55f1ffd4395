#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MemoryProp.h"
#include "platform/mapi/MapiUtil.h"

namespace {

TEST(MapiMemory, ChainedBlocksGoWithTheirRoot) {
  void* root = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(32, &root), S_OK);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(root) % 16, 0u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([root] {
      for (int i = 0; i < 1000; ++i) {
        void* more = nullptr;
        ASSERT_EQ(MAPIAllocateMore(static_cast<ULONG>(i % 64), root, &more), S_OK);
        void* deeper = nullptr;
        ASSERT_EQ(MAPIAllocateMore(8, more, &deeper), S_OK);  // joins the same root
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(MAPIFreeBuffer(root), 0u);  // under ASan: no leak, no double free
  EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
}

// One value of every type that carries data outside its image.
struct Fixture {
  char s8[6] = "hello";
  char16_t w[4] = u"w\u00C4x";
  BYTE bin[3] = {1, 2, 3};
  GUID guid = IID_IMessage;
  SHORT shorts[2] = {-1, 2};
  LONG longs[2] = {7, -8};
  double doubles[2] = {1.5, -2.5};
  FILETIME times[3] = {{1, 2}, {3, 4}, {5, 6}};
  LPSTR strs[2] = {s8, s8 + 1};
  LPWSTR wstrs[1] = {w};
  SBinary bins[2] = {{3, bin}, {1, bin + 2}};
  GUID guids[2] = {IID_IStream, IID_IStorage};
  std::vector<SPropValue> values;

  Fixture() {
    auto add = [&](ULONG tag, auto fill) {
      SPropValue v{};
      v.ulPropTag = tag;
      fill(v.Value);
      values.push_back(v);
    };
    add(PROP_TAG(PT_STRING8, 0x6001), [&](_PV& p) { p.lpszA = s8; });
    add(PROP_TAG(PT_UNICODE, 0x6002), [&](_PV& p) { p.lpszW = w; });
    add(PROP_TAG(PT_BINARY, 0x6003), [&](_PV& p) { p.bin = {3, bin}; });
    add(PROP_TAG(PT_CLSID, 0x6004), [&](_PV& p) { p.lpguid = &guid; });
    add(PROP_TAG(PT_MV_I2, 0x6005), [&](_PV& p) { p.MVi = {2, shorts}; });
    add(PROP_TAG(PT_MV_LONG, 0x6006), [&](_PV& p) { p.MVl = {2, longs}; });
    add(PROP_TAG(PT_MV_DOUBLE, 0x6007), [&](_PV& p) { p.MVdbl = {2, doubles}; });
    add(PROP_TAG(PT_MV_SYSTIME, 0x6008), [&](_PV& p) { p.MVft = {3, times}; });
    add(PROP_TAG(PT_MV_STRING8, 0x6009), [&](_PV& p) { p.MVszA = {2, strs}; });
    add(PROP_TAG(PT_MV_UNICODE, 0x600A), [&](_PV& p) { p.MVszW = {1, wstrs}; });
    add(PROP_TAG(PT_MV_BINARY, 0x600B), [&](_PV& p) { p.MVbin = {2, bins}; });
    add(PROP_TAG(PT_MV_CLSID, 0x600C), [&](_PV& p) { p.MVguid = {2, guids}; });
    add(PROP_TAG(PT_LONG, 0x600D), [&](_PV& p) { p.l = 42; });
    add(PROP_TAG(PT_ERROR, 0x600E), [&](_PV& p) { p.err = MAPI_E_NOT_FOUND; });
  }
};

// The copy equals the original and shares no memory with it.
void ExpectDeepEqual(const SPropValue& a, const SPropValue& b, const Fixture& f) {
  ASSERT_EQ(a.ulPropTag, b.ulPropTag);
  auto outside = [&](const void* p) {
    auto* c = static_cast<const char*>(p);
    auto* lo = reinterpret_cast<const char*>(&f);
    return c < lo || c >= lo + sizeof(Fixture);
  };
  const _PV &x = a.Value, &y = b.Value;
  switch (PROP_TYPE(a.ulPropTag)) {
    case PT_STRING8:
      EXPECT_STREQ(x.lpszA, y.lpszA);
      EXPECT_TRUE(outside(y.lpszA));
      break;
    case PT_UNICODE:
      EXPECT_EQ(std::u16string(x.lpszW), std::u16string(y.lpszW));
      EXPECT_TRUE(outside(y.lpszW));
      break;
    case PT_BINARY:
      EXPECT_EQ(0, std::memcmp(x.bin.lpb, y.bin.lpb, x.bin.cb));
      EXPECT_TRUE(outside(y.bin.lpb));
      break;
    case PT_CLSID:
      EXPECT_EQ(*x.lpguid, *y.lpguid);
      EXPECT_TRUE(outside(y.lpguid));
      break;
    case PT_MV_STRING8:
      for (ULONG i = 0; i < x.MVszA.cValues; ++i) {
        EXPECT_STREQ(x.MVszA.lppszA[i], y.MVszA.lppszA[i]);
        EXPECT_TRUE(outside(y.MVszA.lppszA[i]));
      }
      break;
    case PT_MV_UNICODE:
      EXPECT_EQ(std::u16string(x.MVszW.lppszW[0]), std::u16string(y.MVszW.lppszW[0]));
      EXPECT_TRUE(outside(y.MVszW.lppszW[0]));
      break;
    case PT_MV_BINARY:
      for (ULONG i = 0; i < x.MVbin.cValues; ++i) {
        EXPECT_EQ(x.MVbin.lpbin[i].cb, y.MVbin.lpbin[i].cb);
        EXPECT_EQ(0, std::memcmp(x.MVbin.lpbin[i].lpb, y.MVbin.lpbin[i].lpb, x.MVbin.lpbin[i].cb));
        EXPECT_TRUE(outside(y.MVbin.lpbin[i].lpb));
      }
      break;
    case PT_MV_I2:
    case PT_MV_LONG:
    case PT_MV_DOUBLE:
    case PT_MV_SYSTIME:
    case PT_MV_CLSID: {
      size_t elem = PROP_TYPE(a.ulPropTag) == PT_MV_I2      ? 2
                    : PROP_TYPE(a.ulPropTag) == PT_MV_LONG  ? 4
                    : PROP_TYPE(a.ulPropTag) == PT_MV_CLSID ? 16
                                                            : 8;
      EXPECT_EQ(x.MVl.cValues, y.MVl.cValues);
      EXPECT_EQ(0, std::memcmp(x.MVl.lpl, y.MVl.lpl, elem * x.MVl.cValues));
      EXPECT_TRUE(outside(y.MVl.lpl));
      break;
    }
    default:
      EXPECT_EQ(0, std::memcmp(&x, &y, sizeof(_PV)));
  }
}

TEST(MapiUtil, CopiesEveryTypeDeeply) {
  Fixture f;
  int n = static_cast<int>(f.values.size());
  ULONG cb = 0;
  ASSERT_EQ(ScCountProps(n, f.values.data(), &cb), S_OK);
  void* buf = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(cb, &buf), S_OK);
  ULONG used = 0;
  ASSERT_EQ(ScCopyProps(n, f.values.data(), buf, &used), S_OK);
  EXPECT_EQ(used, cb);
  auto* copy = static_cast<LPSPropValue>(buf);
  for (int i = 0; i < n; ++i) ExpectDeepEqual(f.values[static_cast<size_t>(i)], copy[i], f);

  void* root = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue) * static_cast<size_t>(n), &root), S_OK);
  auto* more = static_cast<LPSPropValue>(root);
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(PropCopyMore(&more[i], &copy[i], MAPIAllocateMore, root), S_OK);
    ExpectDeepEqual(f.values[static_cast<size_t>(i)], more[i], f);
  }
  MAPIFreeBuffer(buf);
  MAPIFreeBuffer(root);
}

TEST(MapiUtil, FindPropAndTags) {
  Fixture f;
  EXPECT_EQ(PROP_TAG(PT_STRING8, 0x0037), PR_SUBJECT);
  EXPECT_EQ(CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE), 0x0037001Fu);
  auto n = static_cast<ULONG>(f.values.size());
  EXPECT_EQ(PpropFindProp(f.values.data(), n, PROP_TAG(PT_LONG, 0x600D))->Value.l, 42);
  EXPECT_NE(PpropFindProp(f.values.data(), n, PROP_TAG(PT_UNSPECIFIED, 0x6003)), nullptr);
  EXPECT_EQ(PpropFindProp(f.values.data(), n, PROP_TAG(PT_BINARY, 0x6001)), nullptr);
}

// A property object that knows one property.
class OneProp : public vantrel::mapi::MapiPropBase<IMAPIProp> {
 public:
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* out) override {
    MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<void**>(out));
    *count = 1;
    (*out)->ulPropTag = tags->aulPropTag[0];
    if (tags->aulPropTag[0] == PR_SUBJECT) {
      (*out)->Value.lpszA = subject_;
      return S_OK;
    }
    (*out)->ulPropTag = CHANGE_PROP_TYPE(tags->aulPropTag[0], PT_ERROR);
    (*out)->Value.err = MAPI_E_NOT_FOUND;
    return MAPI_W_ERRORS_RETURNED;
  }
  HRESULT SetProps(ULONG, LPSPropValue v, LPSPropProblemArray* problems) override {
    MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropProblemArray)), reinterpret_cast<void**>(problems));
    (*problems)->cProblem = 1;
    (*problems)->aProblem[0] = {0, v->ulPropTag, MAPI_E_COMPUTED};
    return S_OK;
  }

 private:
  char subject_[4] = "Hi!";
};

TEST(MapiUtil, OnePropShortcutsAndAdviseSink) {
  auto prop = vantrel::ComPtr<OneProp>::Adopt(new OneProp);
  LPSPropValue v = nullptr;
  ASSERT_EQ(HrGetOneProp(prop.get(), PR_SUBJECT, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "Hi!");
  MAPIFreeBuffer(v);
  EXPECT_EQ(HrGetOneProp(prop.get(), PR_BODY, &v), MAPI_E_NOT_FOUND);
  EXPECT_EQ(v, nullptr);
  SPropValue set{};
  set.ulPropTag = PR_ENTRYID;
  EXPECT_EQ(HrSetOneProp(prop.get(), &set), MAPI_E_COMPUTED);

  struct Seen {
    ULONG count = 0;
    ULONG type = 0;
  } seen;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [](LPVOID ctx, ULONG c, LPNOTIFICATION n) -> LONG {
                  static_cast<Seen*>(ctx)->count = c;
                  static_cast<Seen*>(ctx)->type = n[0].ulEventType;
                  return 0;
                },
                &seen, &sink),
            S_OK);
  NOTIFICATION notes[2]{};
  notes[0].ulEventType = fnevNewMail;
  EXPECT_EQ(sink->OnNotify(2, notes), 0u);
  EXPECT_EQ(seen.count, 2u);
  EXPECT_EQ(seen.type, fnevNewMail);
  sink->Release();
}

}  // namespace
