// What the store's tests share: a scratch file per test, opening a store
// and its folders, reading single values, and a fixture with a fresh store.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"

namespace storetest {

using vantrel::ComPtr;

inline std::string TmpPath(const std::string& name) {
  const char* d = std::getenv("VANTREL_TEST_TMPDIR");
  std::string dir = d ? d : "/tmp";
  std::filesystem::create_directories(dir);
  std::string p = dir + "/" + name;
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(p + suffix);
  return p;
}

inline ComPtr<IMsgStore> Open(const std::string& path) {
  ComPtr<IMsgStore> s;
  EXPECT_EQ(OpenPstStore(path, "Personal Folders", MDB_WRITE, s.Out()), S_OK);
  return s;
}

inline std::vector<BYTE> Bin(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  std::vector<BYTE> out;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out.assign(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return out;
}

inline LONG Long(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  LONG out = -1;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out = v->Value.l;
  MAPIFreeBuffer(v);
  return out;
}

inline bool Bool(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  bool out = false;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out = v->Value.b != 0;
  MAPIFreeBuffer(v);
  return out;
}

template <typename T>
inline ComPtr<T> OpenAs(IMsgStore* store, const std::vector<BYTE>& eid, ULONG flags = MAPI_MODIFY) {
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(eid.size()), eid.empty() ? nullptr : (LPENTRYID)eid.data(), nullptr,
                             flags, &type, unk.Out()),
            S_OK);
  return ComPtr<T>::Adopt(static_cast<T*>(unk.Detach()));
}

inline ComPtr<IMAPIFolder> Subtree(IMsgStore* store) {
  return OpenAs<IMAPIFolder>(store, Bin(store, PR_IPM_SUBTREE_ENTRYID));
}

inline ComPtr<IMAPIFolder> Child(IMAPIFolder* parent, const char* name) {
  ComPtr<IMAPIFolder> f;
  EXPECT_EQ(parent->CreateFolder(FOLDER_GENERIC, const_cast<char*>(name), nullptr, nullptr, OPEN_IF_EXISTS, f.Out()),
            S_OK);
  return f;
}

inline void SetString(IMAPIProp* obj, ULONG tag, const char* s) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(s);
  ASSERT_EQ(obj->SetProps(1, &v, nullptr), S_OK);
}

// A new attachment of `outer` holding a new embedded message; `attach`
// receives the attachment and `num` its number.
inline ComPtr<IMessage> CreateEmbedded(IMessage* outer, ULONG* num, ComPtr<IAttach>& attach) {
  ComPtr<IUnknown> unk;
  EXPECT_EQ(outer->CreateAttach(nullptr, 0, num, attach.Out()), S_OK);
  if (!attach) return {};
  SPropValue method{};
  method.ulPropTag = PR_ATTACH_METHOD;
  method.Value.l = ATTACH_EMBEDDED_MSG;
  EXPECT_EQ(attach->SetProps(1, &method, nullptr), S_OK);
  EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
  return ComPtr<IMessage>::Adopt(static_cast<IMessage*>(unk.Detach()));
}

// One column of every row of `table`, as 8-bit strings.
inline std::vector<std::string> ColumnText(IMAPITable* table, ULONG tag) {
  SizedSPropTagArray<1> cols{1, {tag}};
  LPSRowSet rows = nullptr;
  std::vector<std::string> out;
  EXPECT_EQ(HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  for (ULONG i = 0; rows && i < rows->cRows; ++i)
    out.push_back(PROP_TYPE(rows->aRow[i].lpProps[0].ulPropTag) == PT_STRING8 ? rows->aRow[i].lpProps[0].Value.lpszA
                                                                                : "");
  FreeProws(rows);
  return out;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TmpPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".pst");
    store_ = Open(path_);
  }
  std::string path_;
  ComPtr<IMsgStore> store_;
};

}  // namespace storetest
