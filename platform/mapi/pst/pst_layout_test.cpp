// Stored values keep their byte layout: the rows below are a message's
// props rows as an earlier build of the store wrote them (counts, lengths
// and the reference of a large value in little-endian order). The test
// puts them into a store file in place of a message's own rows and reads
// every value back through MAPI; an attached message's image likewise.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/mapi/NotificationThread.h"
#include "platform/mapi/pst/StoreTestUtil.h"

namespace storetest {
namespace {

struct FrozenRow {
  unsigned id, type;
  const char* hex;
};
const FrozenRow kFrozenMessage[] = {
    {0x0017, 0x3, "02000000"},
    {0x0037, 0x1F, "4C61796F757420C3A4"},
    {0x0E07, 0x3, "08000000"},
    {0x3007, 0x40, "980E70C1C488DD01"},
    {0x3008, 0x40, "9C0E70C1C488DD01"},
    {0x6701, 0x1F, "4772C3BCC39F6520E282AC"},
    {0x6702, 0x14, "0807060504030201"},
    {0x6703, 0x5, "000000000000F8BF"},
    {0x6704, 0x40, "EFCDAB89B4A3D201"},
    {0x6705, 0x48, "0403020106050807090A0B0C0D0E0F10"},
    {0x6706, 0x1003, "0300000001000000FEFFFFFF78563412"},
    {0x6707, 0x101F, "020000000400000065696E73060000007A77C3B66C66"},
    {0x6708, 0x1102, "020000000300000001020301000000FF"},
    {0x6709, 0x10102, "0100000000000000640001000000000000000000"},  // blob 1, 65636 bytes
    {0x670A, 0x2, "D4FE"},
};
constexpr size_t kBigSize = 64 * 1024 + 100;
// An attached message's image (PR_ATTACH_DATA_OBJ): its props map (count,
// then id, stored type, length and bytes per value), its attachments (none)
// and its recipients (one map each).
const char kFrozenEmbedded[] =
    "01000000" "37000000" "1F000000" "03000000" "537562"                // PR_SUBJECT "Sub"
    "00000000"                                                          // no attachments
    "01000000" "01000000" "01300000" "1F000000" "03000000" "416E6E";  // PR_DISPLAY_NAME "Ann"

std::vector<BYTE> Hex(const char* s) {
  std::vector<BYTE> out;
  for (; s[0] && s[1]; s += 2) out.push_back(static_cast<BYTE>(std::stoi(std::string(s, 2), nullptr, 16)));
  return out;
}

std::vector<BYTE> BigValue() {
  std::vector<BYTE> big(kBigSize);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7 + (i >> 8));
  return big;
}

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
}

void Insert(sqlite3* db, const char* sql, sqlite3_int64 a, sqlite3_int64 b, sqlite3_int64 c,
            const std::vector<BYTE>& blob) {
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK);
  sqlite3_bind_int64(st, 1, a);
  sqlite3_bind_int64(st, 2, b);
  sqlite3_bind_int64(st, 3, c);
  sqlite3_bind_blob(st, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
  sqlite3_finalize(st);
}

// Replaces the rows of the store's one message with the frozen rows.
void PutFrozenRows(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT id FROM objects WHERE kind = 5", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  sqlite3_int64 obj = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  Exec(db, "BEGIN");
  Exec(db, "DELETE FROM props WHERE obj = " + std::to_string(obj));
  for (const auto& r : kFrozenMessage)
    Insert(db, "INSERT INTO props(obj, id, type, value) VALUES(?1, ?2, ?3, ?4)", obj, r.id, r.type, Hex(r.hex));
  Exec(db, "INSERT INTO blobs(id, obj) VALUES(1, " + std::to_string(obj) + ")");
  Insert(db, "UPDATE props SET value = ?4 WHERE id = ?1 AND type = ?2 AND obj = (SELECT id FROM objects WHERE kind = 7)",
         0x3701, PT_OBJECT, 0, Hex(kFrozenEmbedded));
  EXPECT_EQ(sqlite3_changes(db), 1);
  auto big = BigValue();
  std::vector<BYTE> first(big.begin(), big.begin() + 65536), rest(big.begin() + 65536, big.end());
  Insert(db, "INSERT INTO chunks(blob, seq, data) VALUES(?1, ?2, ?4)", 1, 0, 0, first);
  Insert(db, "INSERT INTO chunks(blob, seq, data) VALUES(?1, ?2, ?4)", 1, 1, 0, rest);
  Exec(db, "COMMIT");
  sqlite3_close(db);
}

TEST(StoreLayout, ValuesWrittenByAnEarlierBuildReadBack) {
  std::string path = TmpPath("layout.pst");
  std::vector<BYTE> eid;
  ULONG attach_num = 0;
  {
    auto store = Open(path);
    auto folder = Child(Subtree(store.get()).get(), "Layout");
    ComPtr<IMessage> m;
    ASSERT_EQ(folder->CreateMessage(nullptr, 0, m.Out()), S_OK);
    ComPtr<IAttach> a;
    auto embedded = CreateEmbedded(m.get(), &attach_num, a);
    ASSERT_TRUE(embedded);
    SetString(embedded.get(), PR_SUBJECT, "new");
    ASSERT_EQ(embedded->SaveChanges(0), S_OK);
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    eid = Bin(m.get(), PR_ENTRYID);
  }
  vantrel::mapi::NotificationThread::Instance().Flush();
  PutFrozenRows(path);

  auto store = Open(path);
  auto m = OpenAs<IMessage>(store.get(), eid, 0);
  ASSERT_TRUE(m);
  LPSPropValue v = nullptr;
  auto get = [&](ULONG tag) {
    MAPIFreeBuffer(v);
    v = nullptr;
    EXPECT_EQ(HrGetOneProp(m.get(), tag, &v), S_OK) << std::hex << tag;
    return v != nullptr;
  };
  ASSERT_TRUE(get(PR_SUBJECT));
  EXPECT_STREQ(v->Value.lpszA, "Layout \xe4");
  ASSERT_TRUE(get(PR_IMPORTANCE));
  EXPECT_EQ(v->Value.l, 2);
  ASSERT_TRUE(get(PROP_TAG(PT_UNICODE, 0x6701)));
  EXPECT_EQ(std::u16string(v->Value.lpszW), u"Gr\u00fc\u00dfe \u20ac");
  ASSERT_TRUE(get(PROP_TAG(PT_I8, 0x6702)));
  EXPECT_EQ(v->Value.li.QuadPart, 0x0102030405060708LL);
  ASSERT_TRUE(get(PROP_TAG(PT_DOUBLE, 0x6703)));
  EXPECT_EQ(v->Value.dbl, -1.5);
  ASSERT_TRUE(get(PROP_TAG(PT_SYSTIME, 0x6704)));
  EXPECT_EQ(v->Value.ft.dwLowDateTime, 0x89ABCDEFu);
  EXPECT_EQ(v->Value.ft.dwHighDateTime, 0x01D2A3B4u);
  ASSERT_TRUE(get(PROP_TAG(PT_CLSID, 0x6705)));
  EXPECT_EQ(v->Value.lpguid->Data1, 0x01020304u);
  EXPECT_EQ(v->Value.lpguid->Data2, 0x0506);
  EXPECT_EQ(v->Value.lpguid->Data3, 0x0708);
  EXPECT_EQ(v->Value.lpguid->Data4[7], 16);
  ASSERT_TRUE(get(PROP_TAG(PT_MV_LONG, 0x6706)));
  ASSERT_EQ(v->Value.MVl.cValues, 3u);
  EXPECT_EQ(v->Value.MVl.lpl[1], -2);
  EXPECT_EQ(v->Value.MVl.lpl[2], 0x12345678);
  ASSERT_TRUE(get(PROP_TAG(PT_MV_UNICODE, 0x6707)));
  ASSERT_EQ(v->Value.MVszW.cValues, 2u);
  EXPECT_EQ(std::u16string(v->Value.MVszW.lppszW[0]), u"eins");
  EXPECT_EQ(std::u16string(v->Value.MVszW.lppszW[1]), u"zw\u00f6lf");
  ASSERT_TRUE(get(PROP_TAG(PT_MV_BINARY, 0x6708)));
  ASSERT_EQ(v->Value.MVbin.cValues, 2u);
  EXPECT_EQ(std::vector<BYTE>(v->Value.MVbin.lpbin[0].lpb, v->Value.MVbin.lpbin[0].lpb + v->Value.MVbin.lpbin[0].cb),
            (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(std::vector<BYTE>(v->Value.MVbin.lpbin[1].lpb, v->Value.MVbin.lpbin[1].lpb + v->Value.MVbin.lpbin[1].cb),
            (std::vector<BYTE>{0xFF}));
  ASSERT_TRUE(get(PROP_TAG(PT_I2, 0x670A)));
  EXPECT_EQ(v->Value.i, -300);
  MAPIFreeBuffer(v);
  v = nullptr;
  // The large value, kept in chunks, reads back whole.
  EXPECT_EQ(Bin(m.get(), PROP_TAG(PT_BINARY, 0x6709)), BigValue());

  ComPtr<IAttach> a;
  ASSERT_EQ(m->OpenAttach(attach_num, nullptr, 0, a.Out()), S_OK);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(a->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, unk.Out()), S_OK);
  auto embedded = ComPtr<IMessage>::Adopt(static_cast<IMessage*>(unk.Detach()));
  ASSERT_EQ(HrGetOneProp(embedded.get(), PR_SUBJECT, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "Sub");
  MAPIFreeBuffer(v);
  ComPtr<IMAPITable> recips;
  ASSERT_EQ(embedded->GetRecipientTable(0, recips.Out()), S_OK);
  EXPECT_EQ(ColumnText(recips.get(), PR_DISPLAY_NAME), std::vector<std::string>{"Ann"});
}

}  // namespace
}  // namespace storetest
