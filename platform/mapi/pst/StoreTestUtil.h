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
