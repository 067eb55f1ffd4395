#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/mapi/MapiMemory.h"
#include "platform/win/MessageBox.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::zel {
namespace {

using Bytes = std::vector<BYTE>;

struct Freer {
  void operator()(void* p) const { MAPIFreeBuffer(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Freer>;

CMapiMarshal codec;

Bytes Props(const SPropValue* v, ULONG n) {
  return codec.Encode([&] { return codec.SizeProps(v, n); }, [&](MarshalWriter& w) { codec.WriteProps(w, v, n); });
}
Bytes Res(const SRestriction* r) {
  return codec.Encode([&] { return codec.SizeRestriction(r); },
                      [&](MarshalWriter& w) { codec.WriteRestriction(w, r); });
}
Bytes Notif(const NOTIFICATION* n) {
  return codec.Encode([&] { return codec.SizeNotification(n); },
                      [&](MarshalWriter& w) { codec.WriteNotification(w, n); });
}
Bytes Rows(const SRowSet* r) {
  return codec.Encode([&] { return codec.SizeRowSet(r); }, [&](MarshalWriter& w) { codec.WriteRowSet(w, r); });
}
Bytes Tags(const SPropTagArray* t) {
  return codec.Encode([&] { return codec.SizeTagArray(t); }, [&](MarshalWriter& w) { codec.WriteTagArray(w, t); });
}

ULONG Word(const Bytes& b, size_t at) {
  return ULONG(b[at]) | ULONG(b[at + 1]) << 8 | ULONG(b[at + 2]) << 16 | ULONG(b[at + 3]) << 24;
}

SPropValue Long(ULONG id, LONG v) {
  SPropValue p{};
  p.ulPropTag = PROP_TAG(PT_LONG, id);
  p.Value.l = v;
  return p;
}

// ---- every property type ---------------------------------------------------------

char kText[] = "Betreff";
WCHAR kWide[] = u"K\u00e4se";
BYTE kBin[] = {1, 2, 3, 4, 5};
GUID kGuid = PS_PUBLIC_STRINGS;
SHORT kShorts[] = {-1, 2, 3};
LONG kLongs[] = {7, -8};
float kFloats[] = {1.5f, -2.25f};
double kDoubles[] = {3.25, -0.5};
CURRENCY kCur[] = {{.int64 = 12345}, {.int64 = -6}};
LARGE_INTEGER kLis[] = {{.QuadPart = 1LL << 40}, {.QuadPart = -3}};
FILETIME kTimes[] = {{1, 2}, {3, 4}, {5, 6}};
GUID kGuids[] = {PS_PUBLIC_STRINGS, IID_IMessage};
LPSTR kTexts[] = {kText, kText + 3};
LPWSTR kWides[] = {kWide, kWide + 2};
SBinary kBins[] = {{5, kBin}, {0, nullptr}, {2, kBin + 3}};

std::vector<SPropValue> EveryType() {
  std::vector<SPropValue> v;
  auto add = [&](ULONG type, auto set) {
    SPropValue p{};
    p.ulPropTag = PROP_TAG(type, 0x6000 + ULONG(v.size()));
    set(p.Value);
    v.push_back(p);
  };
  add(PT_I2, [](_PV& x) { x.i = -5; });
  add(PT_LONG, [](_PV& x) { x.l = -123456; });
  add(PT_R4, [](_PV& x) { x.flt = 2.5f; });
  add(PT_DOUBLE, [](_PV& x) { x.dbl = -1.125; });
  add(PT_CURRENCY, [](_PV& x) { x.cur.int64 = 987654321; });
  add(PT_APPTIME, [](_PV& x) { x.at = 45000.5; });
  add(PT_ERROR, [](_PV& x) { x.err = MAPI_E_NOT_FOUND; });
  add(PT_BOOLEAN, [](_PV& x) { x.b = 1; });
  add(PT_OBJECT, [](_PV& x) { x.x = 0; });
  add(PT_I8, [](_PV& x) { x.li.QuadPart = -(1LL << 50); });
  add(PT_SYSTIME, [](_PV& x) { x.ft = {0x89ABCDEF, 0x01D2}; });
  add(PT_NULL, [](_PV& x) { x.x = 0; });
  add(PT_STRING8, [](_PV& x) { x.lpszA = kText; });
  add(PT_UNICODE, [](_PV& x) { x.lpszW = kWide; });
  add(PT_CLSID, [](_PV& x) { x.lpguid = &kGuid; });
  add(PT_BINARY, [](_PV& x) { x.bin = {5, kBin}; });
  add(PT_MV_I2, [](_PV& x) { x.MVi = {3, kShorts}; });
  add(PT_MV_LONG, [](_PV& x) { x.MVl = {2, kLongs}; });
  add(PT_MV_R4, [](_PV& x) { x.MVflt = {2, kFloats}; });
  add(PT_MV_DOUBLE, [](_PV& x) { x.MVdbl = {2, kDoubles}; });
  add(PT_MV_APPTIME, [](_PV& x) { x.MVat = {2, kDoubles}; });
  add(PT_MV_CURRENCY, [](_PV& x) { x.MVcur = {2, kCur}; });
  add(PT_MV_I8, [](_PV& x) { x.MVli = {2, kLis}; });
  add(PT_MV_SYSTIME, [](_PV& x) { x.MVft = {3, kTimes}; });
  add(PT_MV_CLSID, [](_PV& x) { x.MVguid = {2, kGuids}; });
  add(PT_MV_STRING8, [](_PV& x) { x.MVszA = {2, kTexts}; });
  add(PT_MV_UNICODE, [](_PV& x) { x.MVszW = {2, kWides}; });
  add(PT_MV_BINARY, [](_PV& x) { x.MVbin = {3, kBins}; });
  add(PT_MV_LONG, [](_PV& x) { x.MVl = {0, nullptr}; });
  return v;
}

TEST(Layout, SizesAndShapes) {
  // Tag arrays: count, the filler repeating the first tag, the tags.
  EXPECT_EQ(Tags(nullptr), Bytes(8, 0));
  SizedSPropTagArray<3> three{3, {PR_NULL | 0x10000, 0x0E070003, 0x0037001E}};
  Bytes t = Tags(three.get());
  ASSERT_EQ(t.size(), 20u);
  EXPECT_EQ(Word(t, 0), 3u);
  EXPECT_EQ(Word(t, 4), three.aulPropTag[0]);
  EXPECT_EQ(Word(t, 16), three.aulPropTag[2]);

  // PT_OBJECT and PT_ERROR: the image alone.
  auto every = EveryType();
  for (const auto& p : every) {
    ULONG type = PROP_TYPE(p.ulPropTag);
    if (type == PT_OBJECT || type == PT_ERROR || type == PT_LONG || type == PT_SYSTIME) {
      EXPECT_EQ(Props(&p, 1).size(), 16u) << std::hex << type;
    }
    if (type == PT_MV_SYSTIME) {
      Bytes b = Props(&p, 1);
      ASSERT_EQ(b.size(), 16u + 24u);
      EXPECT_EQ(Word(b, 8), 3u);  // the count leads the value field
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Word(b, 16 + 8 * i), kTimes[i].dwLowDateTime);
        EXPECT_EQ(Word(b, 20 + 8 * i), kTimes[i].dwHighDateTime);
      }
    }
  }

  // Two rows: presence, count, two 12-byte entries, 12 bytes of filler.
  SPropValue a[2] = {Long(1, 10), Long(2, 20)};
  SPropValue b[1] = {Long(3, 30)};
  auto rows = Owned<SRowSet>();
  {
    void* p;
    ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(2)), &p), S_OK);
    rows.reset(static_cast<SRowSet*>(p));
    rows->cRows = 2;
    rows->aRow[0] = {0, 2, a};
    rows->aRow[1] = {0, 1, b};
  }
  Bytes r = Rows(rows.get());
  ASSERT_EQ(r.size(), 1u + 16 + 24 + 3 * 16);
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(Word(r, 1), 2u);
  EXPECT_EQ(Word(r, 9), 2u);   // first row's value count
  EXPECT_EQ(Word(r, 21), 1u);  // second row's
  EXPECT_EQ(Word(r, 41), a[0].ulPropTag);

  // Restrictions: null is one byte; AND of two property restrictions.
  EXPECT_EQ(Res(nullptr), Bytes{0});
  SPropValue v1 = Long(1, 5), v2 = Long(2, 6);
  SRestriction subs[2] = {};
  subs[0].rt = RES_PROPERTY;
  subs[0].res.resProperty = {RELOP_EQ, v1.ulPropTag, &v1};
  subs[1].rt = RES_PROPERTY;
  subs[1].res.resProperty = {RELOP_GT, v2.ulPropTag, &v2};
  SRestriction both{};
  both.rt = RES_AND;
  both.res.resAnd = {2, subs};
  Bytes x = Res(&both);
  ASSERT_EQ(x.size(), 1u + 16 + 1 + 2 * (1 + 16 + 16));
  EXPECT_EQ(x[0], 1);
  EXPECT_EQ(Word(x, 1), RES_AND);
  EXPECT_EQ(Word(x, 5), 2u);
  EXPECT_EQ(x[17], 1);
  EXPECT_EQ(x[18], 1);
  EXPECT_EQ(Word(x, 19), RES_PROPERTY);
  EXPECT_EQ(Word(x, 23), RELOP_EQ);
}

TEST(Layout, UnicodeKeepsOnlyTheLowByte) {
  WCHAR s[] = u"\u00C4\u20AC";
  SPropValue p{};
  p.ulPropTag = PROP_TAG(PT_UNICODE, 0x3001);
  p.Value.lpszW = s;
  Bytes b = Props(&p, 1);
  ASSERT_EQ(b.size(), 16u + 6);
  EXPECT_EQ(b[16 + 3], 0x20);  // sent whole
  MarshalReader r(b);
  LPSPropValue out;
  ASSERT_EQ(codec.ReadProps(r, 1, nullptr, &out), S_OK);
  Owned<SPropValue> own(out);
  EXPECT_EQ(out->Value.lpszW[0], 0x00C4);
  EXPECT_EQ(out->Value.lpszW[1], 0x00AC);
  EXPECT_EQ(out->Value.lpszW[2], 0);
}

// Bytes written out by hand, so the layout cannot drift with the code.
TEST(Layout, KnownVectors) {
  SPropValue s{};
  s.ulPropTag = 0x0037001E;
  s.Value.lpszA = const_cast<char*>("Hi");
  EXPECT_EQ(Props(&s, 1), (Bytes{0x1E, 0x00, 0x37, 0x00, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'H', 'i', 0}));

  SPropValue bin{};
  bin.ulPropTag = 0x0FFF0102;
  BYTE id[] = {0xAA, 0xBB};
  bin.Value.bin = {2, id};
  EXPECT_EQ(Props(&bin, 1),
            (Bytes{0x02, 0x01, 0xFF, 0x0F, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB}));

  SizedSSortOrderSet<1> sort;
  sort.cCategories = 1;
  sort.aSort[0] = {0x0E060040, TABLE_SORT_DESCEND};
  Bytes so = codec.Encode([&] { return codec.SizeSortOrderSet(sort.get()); },
                          [&](MarshalWriter& w) { codec.WriteSortOrderSet(w, sort.get()); });
  EXPECT_EQ(so,
            (Bytes{1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0x06, 0x0E, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  SBinary members[] = {{2, id}};
  ENTRYLIST list{1, members};
  Bytes el = codec.Encode([&] { return codec.SizeEntryList(&list); },
                          [&](MarshalWriter& w) { codec.WriteEntryList(w, &list); });
  EXPECT_EQ(el, (Bytes{1, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB}));

  // Component first, error text second; the pointers say which follow.
  MAPIERROR err{0, const_cast<char*>("E"), const_cast<char*>("C"), 7, 9};
  Bytes er = codec.Encode([&] { return codec.SizeError(&err); }, [&](MarshalWriter& w) { codec.WriteError(w, &err); });
  EXPECT_EQ(er, (Bytes{0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 9, 0, 0, 0, 'C', 0, 'E', 0}));

  SPropProblem prob{1, 0x0037001E, MAPI_E_NO_ACCESS};
  SPropProblemArray problems{1, {prob}};
  Bytes pr = codec.Encode([&] { return codec.SizeProblems(&problems); },
                          [&](MarshalWriter& w) { codec.WriteProblems(w, &problems); });
  ASSERT_EQ(pr.size(), 28u);
  EXPECT_EQ(Word(pr, 0), 1u);
  EXPECT_EQ(Word(pr, 8), 0x0037001Eu);
  EXPECT_EQ(Word(pr, 12), static_cast<ULONG>(MAPI_E_NO_ACCESS));
  EXPECT_EQ(Bytes(pr.begin() + 16, pr.end()), Bytes(12, 0));
  EXPECT_EQ(codec.SizeProblems(nullptr), 0u);

  // An object notification: presence, 64-byte image, four counted IDs, tags.
  NOTIFICATION n{};
  n.ulEventType = fnevObjectCreated;
  n.info.obj.cbEntryID = 2;
  n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(id);
  n.info.obj.ulObjType = MAPI_MESSAGE;
  Bytes nb = Notif(&n);
  ASSERT_EQ(nb.size(), 1u + 64 + 4 + 2 + 12);
  EXPECT_EQ(nb[0], 1);
  EXPECT_EQ(Word(nb, 1), fnevObjectCreated);
  EXPECT_EQ(Word(nb, 9), 2u);                    // cbEntryID
  EXPECT_EQ(Word(nb, 17), ULONG(MAPI_MESSAGE));  // ulObjType
  EXPECT_EQ(Word(nb, 9 + 36), 0u);               // no tag array
  EXPECT_EQ(Word(nb, 65), 2u);
  EXPECT_EQ(Bytes(nb.begin() + 71, nb.end()), Bytes(12, 0));
}

// ---- round trips ----------------------------------------------------------------------

// Decoding, encoding again and comparing bytes: the encoding is deterministic.
void ExpectRoundTrip(const Bytes& first, const std::function<Bytes(MarshalReader&, HRESULT&)>& again) {
  MarshalReader r(first);
  HRESULT hr = E_FAIL;
  Bytes second = again(r, hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(r.Remaining(), 0u);
  EXPECT_EQ(second, first);
}

TEST(RoundTrip, EveryPropertyType) {
  auto every = EveryType();
  Bytes first = Props(every.data(), ULONG(every.size()));
  LPSPropValue out = nullptr;
  ExpectRoundTrip(first, [&](MarshalReader& r, HRESULT& hr) {
    hr = codec.ReadProps(r, ULONG(every.size()), nullptr, &out);
    return hr == S_OK ? Props(out, ULONG(every.size())) : Bytes{};
  });
  Owned<SPropValue> own(out);
  ASSERT_TRUE(out);
  for (size_t i = 0; i < every.size(); ++i) EXPECT_EQ(out[i].ulPropTag, every[i].ulPropTag);
  EXPECT_EQ(out[1].Value.l, -123456);
  EXPECT_EQ(out[3].Value.dbl, -1.125);
  EXPECT_STREQ(out[12].Value.lpszA, kText);
  EXPECT_TRUE(IsEqualGUID(*out[14].Value.lpguid, kGuid));
  EXPECT_EQ(out[15].Value.bin.cb, 5u);
  EXPECT_EQ(std::memcmp(out[15].Value.bin.lpb, kBin, 5), 0);
  EXPECT_EQ(out[23].Value.MVft.lpft[2].dwHighDateTime, 6u);
  EXPECT_STREQ(out[25].Value.MVszA.lppszA[1], kText + 3);
  EXPECT_EQ(out[27].Value.MVbin.lpbin[1].cb, 0u);
  EXPECT_EQ(out[28].Value.MVl.cValues, 0u);
}

TEST(RoundTrip, EveryStructure) {
  SPropValue v1 = Long(1, 5);
  auto every = EveryType();
  SRowSet rows{1, {{0, ULONG(every.size()), every.data()}}};
  ExpectRoundTrip(Rows(&rows), [&](MarshalReader& r, HRESULT& hr) {
    LPSRowSet out;
    hr = codec.ReadRowSet(r, nullptr, &out);
    Owned<SRowSet> own(out);
    return Rows(out);
  });
  ExpectRoundTrip(Rows(nullptr), [&](MarshalReader& r, HRESULT& hr) {
    LPSRowSet out;
    hr = codec.ReadRowSet(r, nullptr, &out);
    return Rows(out);
  });

  // Nested restrictions of every payload kind.
  SRestriction leaf[3] = {};
  leaf[0].rt = RES_CONTENT;
  leaf[0].res.resContent = {FL_SUBSTRING, every[12].ulPropTag, &every[12]};
  leaf[1].rt = RES_BITMASK;
  leaf[1].res.resBitMask = {BMR_NEZ, 0x0E070003, 4};
  leaf[2].rt = RES_EXIST;
  leaf[2].res.resExist = {0, 0x0037001E, 0};
  SRestriction orr{};
  orr.rt = RES_OR;
  orr.res.resOr = {3, leaf};
  SRestriction sub{};
  sub.rt = RES_SUBRESTRICTION;
  sub.res.resSub = {0x0E12000D, &orr};
  SRestriction comment{};
  comment.rt = RES_COMMENT;
  comment.res.resComment = {1, &sub, &v1};
  SRestriction top{};
  top.rt = RES_NOT;
  top.res.resNot = {0, &comment};
  ExpectRoundTrip(Res(&top), [&](MarshalReader& r, HRESULT& hr) {
    LPSRestriction out;
    hr = codec.ReadRestriction(r, nullptr, &out);
    Owned<SRestriction> own(out);
    return Res(out);
  });

  GUID g = PS_PUBLIC_STRINGS;
  WCHAR name[] = u"Farbe";
  MAPINAMEID n1{&g, MNID_STRING, {}};
  n1.Kind.lpwstrName = name;
  MAPINAMEID n2{nullptr, MNID_ID, {}};
  n2.Kind.lID = 0x8005;
  MAPINAMEID* names[] = {&n1, &n2};
  Bytes nb = codec.Encode([&] { return codec.SizeNameIDArray(names, 2); },
                          [&](MarshalWriter& w) { codec.WriteNameIDArray(w, names, 2); });
  EXPECT_EQ(nb.size(), 12u + 16 + 12 + 12);
  ExpectRoundTrip(nb, [&](MarshalReader& r, HRESULT& hr) {
    LPMAPINAMEID* out;
    hr = codec.ReadMAPINAMEIDArray(r, 2, nullptr, &out);
    Owned<LPMAPINAMEID> own(out);
    return codec.Encode([&] { return codec.SizeNameIDArray(out, 2); },
                        [&](MarshalWriter& w) { codec.WriteNameIDArray(w, out, 2); });
  });
}

TEST(RoundTrip, EveryNotification) {
  BYTE id[] = {9, 8, 7};
  SizedSPropTagArray<2> tags{2, {0x0037001E, 0x0E070003}};
  SPropValue v[2] = {Long(1, 1), Long(2, 2)};
  MAPIERROR err{0, const_cast<char*>("disk"), nullptr, 3, 4};
  std::vector<NOTIFICATION> all(6);
  all[0].ulEventType = fnevCriticalError;
  all[0].info.err = {3, reinterpret_cast<LPENTRYID>(id), MAPI_E_DISK_ERROR, 0, &err};
  all[1].ulEventType = fnevNewMail;
  all[1].info.newmail = {3, reinterpret_cast<LPENTRYID>(id), 2, reinterpret_cast<LPENTRYID>(id),
                         0, const_cast<char*>("IPM.Note"),   1};
  all[2].ulEventType = fnevObjectModified;
  all[2].info.obj.cbParentID = 3;
  all[2].info.obj.lpParentID = reinterpret_cast<LPENTRYID>(id);
  all[2].info.obj.lpPropTagArray = tags.get();
  all[3].ulEventType = fnevTableModified;
  all[3].info.tab.ulTableEvent = TABLE_ROW_ADDED;
  all[3].info.tab.propIndex = Long(0x0FFF, 42);
  all[3].info.tab.propPrior = Long(0x0FFF, 41);
  all[3].info.tab.row = {0, 2, v};
  all[4].ulEventType = fnevExtended;
  all[4].info.ext = {5, 3, id};
  all[5].ulEventType = fnevCriticalError;  // no error record: an empty one travels
  for (const auto& n : all) {
    ExpectRoundTrip(Notif(&n), [&](MarshalReader& r, HRESULT& hr) {
      LPNOTIFICATION out;
      hr = codec.ReadNotification(r, nullptr, &out);
      Owned<NOTIFICATION> own(out);
      if (hr == S_OK && n.ulEventType == fnevCriticalError) {
        EXPECT_TRUE(out->info.err.lpMAPIError);
      }
      if (n.info.err.lpMAPIError == nullptr && n.ulEventType == fnevCriticalError) {
        auto copy = n;
        return Notif(&copy);  // the empty record re-encodes as the zero image
      }
      return Notif(out);
    });
  }
}

// ---- damaged blocks -----------------------------------------------------------------

TEST(Damaged, EveryTruncationFailsInsideTheBlock) {
  auto every = EveryType();
  Bytes props = Props(every.data(), ULONG(every.size()));
  for (size_t len = 0; len < props.size(); ++len) {
    Bytes cut(props.begin(), props.begin() + len);  // exact size: ASan sees any over-read
    MarshalReader r(cut);
    LPSPropValue out = reinterpret_cast<LPSPropValue>(1);
    EXPECT_EQ(codec.ReadProps(r, ULONG(every.size()), nullptr, &out), MAPI_E_NO_SUPPORT) << len;
    EXPECT_EQ(out, nullptr);
  }
  SRowSet rows{1, {{0, 3, every.data() + 12}}};
  Bytes r1 = Rows(&rows);
  for (size_t len = 0; len < r1.size(); ++len) {
    Bytes cut(r1.begin(), r1.begin() + len);
    MarshalReader r(cut);
    LPSRowSet out;
    EXPECT_NE(codec.ReadRowSet(r, nullptr, &out), S_OK) << len;
  }
}

TEST(Damaged, CountsAreCheckedBeforeAllocating) {
  struct Case {
    const char* what;
    Bytes block;
    std::function<HRESULT(MarshalReader&)> read;
  };
  std::vector<Case> cases = {
      {"tag count",
       {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0},
       [](MarshalReader& r) {
         LPSPropTagArray t;
         return codec.ReadTagArray(r, nullptr, &t);
       }},
      {"row count",
       {1, 0xFF, 0xFF, 0xFF, 0xFF},
       [](MarshalReader& r) {
         LPSRowSet t;
         return codec.ReadRowSet(r, nullptr, &t);
       }},
      {"mv count",
       {0x03, 0x10, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0},
       [](MarshalReader& r) {
         LPSPropValue t;
         return codec.ReadProps(r, 1, nullptr, &t);
       }},
      {"binary length",
       {0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
       [](MarshalReader& r) {
         LPSPropValue t;
         return codec.ReadProps(r, 1, nullptr, &t);
       }},
      {"unterminated string",
       {0x1E, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'},
       [](MarshalReader& r) {
         LPSPropValue t;
         return codec.ReadProps(r, 1, nullptr, &t);
       }},
      {"value count beside the block",
       {},
       [](MarshalReader& r) {
         LPSPropValue t;
         return codec.ReadProps(r, 0xFFFFFFFF, nullptr, &t);
       }},
      {"entry list count",
       {1, 0xFF, 0xFF, 0xFF, 0x3F, 0, 0, 0, 0},
       [](MarshalReader& r) {
         LPENTRYLIST t;
         return codec.ReadEntryList(r, nullptr, &t);
       }},
      {"sort count",
       {1, 0xFF, 0xFF, 0xFF, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0},
       [](MarshalReader& r) {
         LPSSortOrderSet t;
         return codec.ReadSortOrderSet(r, nullptr, &t);
       }},
  };
  for (auto& c : cases) {
    MarshalReader r(c.block);
    EXPECT_EQ(c.read(r), MAPI_E_NO_SUPPORT) << c.what;
  }
}

TEST(Damaged, RestrictionNestingIsBounded) {
  auto nested = [](int levels) {
    Bytes b;
    for (int i = 0; i < levels; ++i) {
      Bytes img = {1, RES_NOT, 0, 0, 0};
      img.resize(17, 0);
      img[9] = 1;  // non-null sub-restriction pointer
      b.insert(b.end(), img.begin(), img.end());
    }
    b.push_back(0);
    return b;
  };
  for (int levels : {64, 65, 100000}) {
    Bytes b = nested(levels);
    MarshalReader r(b);
    LPSRestriction out;
    HRESULT hr = codec.ReadRestriction(r, nullptr, &out);
    Owned<SRestriction> own(out);
    EXPECT_EQ(hr, levels <= CMapiMarshal::kMaxRestrictionDepth ? S_OK : MAPI_E_NO_SUPPORT) << levels;
  }
}

TEST(Damaged, NameIdArrayReportsTheElementAndGoesOn) {
  std::vector<win::MessageBoxRecord> boxes;
  auto old = win::SetMessageBoxHandler([&](const win::MessageBoxRecord& b) {
    boxes.push_back(b);
    return IDOK;
  });
  MAPINAMEID good{nullptr, MNID_ID, {}};
  good.Kind.lID = 0x8001;
  MAPINAMEID* one[] = {&good};
  Bytes b = codec.Encode([&] { return codec.SizeNameIDArray(one, 1); },
                         [&](MarshalWriter& w) { codec.WriteNameIDArray(w, one, 1); });
  // A second element that claims a GUID the block does not hold.
  Bytes bad = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  b.insert(b.end(), bad.begin(), bad.end());
  MarshalReader r(b);
  LPMAPINAMEID* out;
  ASSERT_EQ(codec.ReadMAPINAMEIDArray(r, 2, nullptr, &out), S_OK);
  Owned<LPMAPINAMEID> own(out);
  ASSERT_TRUE(out[0]);
  EXPECT_EQ(out[0]->Kind.lID, 0x8001);
  EXPECT_EQ(out[1], nullptr);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "ReadMAPINAMEID 1 von 2");
  EXPECT_EQ(boxes[0].caption, "Error in ReadMAPINAMEIDArray");
  win::SetMessageBoxHandler(old);
}

// ---- memory --------------------------------------------------------------------------

struct Counting {
  static inline std::vector<ULONG> allocate, more;
  static inline bool fail_more = false;
  static SCODE Allocate(ULONG cb, LPVOID* out) {
    allocate.push_back(cb);
    return MAPIAllocateBuffer(cb, out);
  }
  static SCODE More(ULONG cb, LPVOID parent, LPVOID* out) {
    more.push_back(cb);
    if (fail_more) return MAPI_E_NOT_ENOUGH_MEMORY;
    return MAPIAllocateMore(cb, parent, out);
  }
};

TEST(Memory, SurplusAndExactSizeFallback) {
  CMapiMarshal::SetAllocator({&Counting::Allocate, &Counting::More, &MAPIFreeBuffer});
  SPropValue s{};
  s.ulPropTag = PROP_TAG(PT_STRING8, 0x3001);
  s.Value.lpszA = const_cast<char*>("abc");
  Bytes b = Props(&s, 1);
  {
    MarshalReader r(b);
    LPSPropValue out;
    ASSERT_EQ(codec.ReadProps(r, 1, nullptr, &out), S_OK);
    Owned<SPropValue> own(out);
    EXPECT_EQ(Counting::allocate, (std::vector<ULONG>{sizeof(SPropValue) + 128}));
    EXPECT_EQ(Counting::more, (std::vector<ULONG>{4 + 128}));
  }
  Counting::allocate.clear();
  Counting::more.clear();
  Counting::fail_more = true;
  {
    void* parent;
    ASSERT_EQ(MAPIAllocateBuffer(8, &parent), S_OK);
    MarshalReader r(b);
    LPSPropValue out;
    ASSERT_EQ(codec.ReadProps(r, 1, parent, &out), S_OK);
    EXPECT_STREQ(out->Value.lpszA, "abc");
    // Both pieces fell back to allocations of their own, at the exact size;
    // they no longer hang on the parent.
    EXPECT_EQ(Counting::allocate, (std::vector<ULONG>{sizeof(SPropValue), 4}));
    MAPIFreeBuffer(out->Value.lpszA);
    MAPIFreeBuffer(out);
    MAPIFreeBuffer(parent);
  }
  Counting::fail_more = false;
  CMapiMarshal::SetAllocator({});
}

// ---- client hooks -------------------------------------------------------------------

TEST(ClientHooks, ProviderUidAndEntryIdTranslation) {
  BYTE peer[16];
  std::memset(peer, 0x11, 16);
  SPropValue v[2] = {};
  v[0].ulPropTag = CMapiMarshal::kTagMdbProvider;
  v[0].Value.bin = {16, peer};
  BYTE eid[] = {1, 2};
  v[1].ulPropTag = PROP_TAG(PT_BINARY, 0x0FFF);
  v[1].Value.bin = {2, eid};

  CMapiMarshal client;
  BYTE mine[16];
  std::memset(mine, 0x22, 16);
  client.SetProviderUid(mine);
  int outgoing = 0;
  client.SetEntryIdTranslator([&](CMapiMarshal::Direction d, std::span<const BYTE> in, std::vector<BYTE>& out) {
    if (d == CMapiMarshal::Direction::kOutgoing) ++outgoing;
    out.assign(in.begin(), in.end());
    out.push_back(d == CMapiMarshal::Direction::kOutgoing ? 0xEE : 0xDD);
    return true;
  });

  // The server's codec has no hooks: the wire holds the plain values.
  Bytes wire = Props(v, 2);
  MarshalReader r(wire);
  LPSPropValue out;
  ASSERT_EQ(client.ReadProps(r, 2, nullptr, &out), S_OK);
  Owned<SPropValue> own(out);
  EXPECT_EQ(out[0].Value.bin.cb, 16u);
  EXPECT_EQ(std::memcmp(out[0].Value.bin.lpb, mine, 16), 0);
  EXPECT_EQ(out[1].Value.bin.cb, 3u);
  EXPECT_EQ(out[1].Value.bin.lpb[2], 0xDD);
  EXPECT_EQ(r.Remaining(), 0u);

  // Sizing and writing translate alike.
  Bytes sent = client.Encode([&] { return client.SizeProps(&v[1], 1); },
                             [&](MarshalWriter& w) { client.WriteProps(w, &v[1], 1); });
  EXPECT_EQ(sent.size(), 16u + 4 + 3);
  EXPECT_EQ(sent.back(), 0xEE);
  SBinary members[] = {{2, eid}};
  ENTRYLIST list{1, members};
  Bytes el = client.Encode([&] { return client.SizeEntryList(&list); },
                           [&](MarshalWriter& w) { client.WriteEntryList(w, &list); });
  EXPECT_EQ(el.size(), 9u + 4 + 3);
  EXPECT_GE(outgoing, 4);
}

}  // namespace
}  // namespace vantrel::zel
