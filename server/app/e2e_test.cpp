// End to end: a ZelServer program with a private home serving a real
// mailbox, driven through the RPC runtime with the typed stubs as a client
// workstation would drive it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/Guid.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/storage/ObjIdl.h"
#include "protocol/MapiMarshal.h"
#include "protocol/NotifyQueue.h"
#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Client;
using testsupport::FreeRows;
using testsupport::Iid;
using testsupport::MapiPtr;
using testsupport::Text;

constexpr const char* kProfile = testsupport::Mailbox::kProfile;
constexpr const char* kStore = testsupport::Mailbox::kStore;
constexpr const char* kUser = testsupport::Mailbox::kUser;
constexpr const char* kPassword = testsupport::Mailbox::kPassword;

class E2E : public testsupport::ServerSuite {
 protected:
  // A logged-on client and its store handle.
  std::unique_ptr<Client> LogOn(std::int32_t* session, std::int32_t* store) {
    auto c = std::make_unique<Client>(server_->port());
    *session = c->Logon(kProfile, kStore, kUser, kPassword);
    EXPECT_GT(*session, 0);
    *store = c->Call<zel::ZelLogon_GetMsgStore>({*session}).result;
    EXPECT_GT(*store, 0);
    return c;
  }

  // Opens the IPM subtree and returns a new folder under it.
  std::int32_t NewFolder(Client& c, std::int32_t store, const std::string& name, std::int32_t* ipm = nullptr) {
    std::int32_t h = c.OpenEntry(store, c.Binary(store, PR_IPM_SUBTREE_ENTRYID));
    if (ipm) *ipm = h;
    auto r = c.Call<zel::IMAPIFOLDER_CreateFolder>({h, FOLDER_GENERIC, name, "", {}, 0});
    EXPECT_EQ(r.result, S_OK);
    return r.hNewFolder;
  }

};

TEST_F(E2E, FolderAndMessageRoundTrip) {
  std::int32_t session = 0, store = 0;
  auto c = LogOn(&session, &store);
  EXPECT_EQ(c->Text(store, PR_DISPLAY_NAME), kStore);

  // The root (no entry ID) and the IPM subtree with its standard folders.
  std::int32_t type = 0;
  std::int32_t root = c->OpenEntry(store, {}, &type);
  EXPECT_EQ(type, static_cast<std::int32_t>(MAPI_FOLDER));
  EXPECT_GT(root, 0);
  std::int32_t ipm = c->OpenEntry(store, c->Binary(store, PR_IPM_SUBTREE_ENTRYID), &type);
  EXPECT_EQ(type, static_cast<std::int32_t>(MAPI_FOLDER));
  auto hierarchy = c->Call<zel::IMAPICONTAIENR_GetHierarchyTable>({ipm, 0});
  ASSERT_EQ(hierarchy.result, S_OK);
  auto names = c->Names(hierarchy.hTable);
  for (const char* f : {"Inbox", "Outbox", "Sent Items", "Deleted Items"})
    EXPECT_NE(std::find(names.begin(), names.end(), f), names.end()) << f;

  // A new folder appears in the hierarchy table.
  auto folder = c->Call<zel::IMAPIFOLDER_CreateFolder>({ipm, FOLDER_GENERIC, "Projects", "work", {}, 0});
  ASSERT_EQ(folder.result, S_OK);
  ASSERT_GT(folder.hNewFolder, 0);
  names = c->Names(c->Call<zel::IMAPICONTAIENR_GetHierarchyTable>({ipm, 0}).hTable);
  EXPECT_NE(std::find(names.begin(), names.end(), "Projects"), names.end());
  EXPECT_EQ(c->Text(folder.hNewFolder, PR_COMMENT), "work");

  // A message with subject and body, saved, listed and read back.
  auto message = c->Call<zel::IMAPIFOLDER_CreateMessage>({folder.hNewFolder, {}, 0});
  ASSERT_EQ(message.result, S_OK);
  ASSERT_EQ(c->SetProps(message.hMessage, {Text(PR_SUBJECT, "Quarterly figures"), Text(PR_BODY, "See attached.")}),
            S_OK);
  ASSERT_EQ(c->Call<zel::MAPIPROP_SaveChanges>({message.hMessage, KEEP_OPEN_READWRITE}).result, S_OK);

  auto contents = c->Call<zel::IMAPICONTAIENR_GetContentsTable>({folder.hNewFolder, 0});
  ASSERT_EQ(contents.result, S_OK);
  auto rows = c->Rows(contents.hTable, {PR_SUBJECT_W, PR_ENTRYID});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->cRows, 1u);
  // Asked as Unicode, sent as 8-bit.
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_SUBJECT_A);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Quarterly figures");
  const SBinary& eid = rows->aRow[0].lpProps[1].Value.bin;
  std::vector<std::uint8_t> message_id(eid.lpb, eid.lpb + eid.cb);
  FreeRows(rows.get());

  std::int32_t again = c->OpenEntry(store, message_id, &type);
  EXPECT_EQ(type, static_cast<std::int32_t>(MAPI_MESSAGE));
  ULONG n = 0;
  HRESULT hr = 0;
  auto props = c->GetProps(again, {PR_SUBJECT_W, PR_BODY_A, PR_SENDER_NAME_A}, &n, &hr);
  ASSERT_TRUE(props);
  EXPECT_EQ(hr, MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(props.get()[0].ulPropTag, PR_SUBJECT_A);
  EXPECT_STREQ(props.get()[0].Value.lpszA, "Quarterly figures");
  EXPECT_STREQ(props.get()[1].Value.lpszA, "See attached.");
  EXPECT_EQ(props.get()[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SENDER_NAME_A)));
  EXPECT_EQ(props.get()[2].Value.err, MAPI_E_NOT_FOUND);

  // A freed message handle names nothing any more.
  EXPECT_EQ(c->Call<zel::FreeHObject>({again}).result, S_OK);
  EXPECT_EQ(c->Call<zel::IMESSAGE_SetReadFlag>({again, 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(c->Call<zel::IMESSAGE_GetAttachmentTable>({again, 0}).result, MAPI_E_OBJECT_DELETED);
  c->Call<zel::ZelLogon_Release>({session});
  EXPECT_EQ(c->Call<zel::FreeHObject>({session}).result, S_OK);
}

TEST_F(E2E, AttachmentStreamAndLargeResultBlocks) {
  std::int32_t session = 0, store = 0;
  auto c = LogOn(&session, &store);
  std::int32_t folder = NewFolder(*c, store, "Attachments");
  auto message = c->Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, 0});
  ASSERT_EQ(message.result, S_OK);
  auto attach = c->Call<zel::IMESSAGE_CreateAttach>({message.hMessage, {}, 0});
  ASSERT_EQ(attach.result, S_OK);
  SPropValue method{};
  method.ulPropTag = PR_ATTACH_METHOD;
  method.Value.l = ATTACH_BY_VALUE;
  ASSERT_EQ(c->SetProps(attach.hAttach, {method, Text(PR_ATTACH_FILENAME_A, "figures.bin")}), S_OK);

  // 100,000 bytes written through a stream on PR_ATTACH_DATA_BIN.
  std::vector<std::uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  auto stream =
      c->Call<zel::IMAPIPROP_OpenProperty>({attach.hAttach, PR_ATTACH_DATA_BIN, Iid(IID_IStream), 0, MAPI_CREATE | MAPI_MODIFY});
  ASSERT_EQ(stream.result, S_OK);
  EXPECT_EQ(stream.ulObjectKind, 257);
  for (size_t at = 0; at < data.size(); at += 30000) {
    size_t n = std::min<size_t>(30000, data.size() - at);
    auto w = c->Call<zel::ISTREAM_Write>({stream.hNewObject, {data.begin() + at, data.begin() + at + n}});
    ASSERT_EQ(w.result, S_OK);
    EXPECT_EQ(w.cbWritten, static_cast<std::int32_t>(n));
  }
  ASSERT_EQ(c->Call<zel::ISTREAM_Commit>({stream.hNewObject, 0}).result, S_OK);
  c->Call<zel::FreeHObject>({stream.hNewObject});
  ASSERT_EQ(c->Call<zel::MAPIPROP_SaveChanges>({attach.hAttach, 0}).result, S_OK);
  ASSERT_EQ(c->Call<zel::MAPIPROP_SaveChanges>({message.hMessage, 0}).result, S_OK);

  // Read back through a new stream in reads of the largest size.
  auto opened = c->Call<zel::IMESSAGE_OpenAttach>({message.hMessage, attach.ulAttachmentNum, {}, 0});
  ASSERT_EQ(opened.result, S_OK);
  auto in = c->Call<zel::IMAPIPROP_OpenProperty>({opened.hAttach, PR_ATTACH_DATA_BIN, Iid(IID_IStream), 0, 0});
  ASSERT_EQ(in.result, S_OK);
  auto end = c->Call<zel::ISTREAM_Seek>({in.hNewObject, 0, STREAM_SEEK_END});
  EXPECT_EQ(end.libNewPosition, data.size());
  c->Call<zel::ISTREAM_Seek>({in.hNewObject, 0, STREAM_SEEK_SET});
  std::vector<std::uint8_t> back;
  std::vector<std::int32_t> reads;
  for (;;) {
    auto r = c->Call<zel::ISTREAM_Read>({in.hNewObject, 32768});
    ASSERT_EQ(r.result, S_OK);
    reads.push_back(r.cbRead);
    if (r.cbRead == 0) break;
    back.insert(back.end(), r.data.items.begin(), r.data.items.end());
  }
  EXPECT_EQ(reads, (std::vector<std::int32_t>{32768, 32768, 32768, 1696, 0}));
  EXPECT_TRUE(back == data);

  // A result block of exactly 100,000 bytes: GetProps of one binary value
  // sized so that its encoding is that long.
  zel::CMapiMarshal codec;
  SPropValue probe{};
  probe.ulPropTag = PROP_TAG(PT_BINARY, 0x6601);
  probe.Value.bin.cb = 0;
  size_t overhead = codec.SizeProps(&probe, 1);
  std::vector<std::uint8_t> big(100000 - overhead, 0x5A);
  probe.Value.bin.cb = static_cast<ULONG>(big.size());
  probe.Value.bin.lpb = big.data();
  ASSERT_EQ(codec.SizeProps(&probe, 1), 100000u);
  ASSERT_EQ(c->SetProps(message.hMessage, {probe}), S_OK);
  auto r = c->Call<zel::MAPIPROP_GetProps>({message.hMessage, {probe.ulPropTag}, 0});
  ASSERT_EQ(r.result, S_OK);
  ASSERT_EQ(r.cb, 100000);
  reads.clear();
  auto block = c->Block(r.cb, r.hBuffer, r.inlineData, &reads);
  EXPECT_EQ(reads, (std::vector<std::int32_t>{32768, 32768, 32768, 1184}));
  // Read to the end, the block is gone.
  EXPECT_EQ(c->Call<zel::ReadBuffer>({r.hBuffer}).result, -1);
  zel::MarshalReader reader(block);
  LPSPropValue value = nullptr;
  ASSERT_EQ(codec.ReadProps(reader, 1, nullptr, &value), S_OK);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), value->Value.bin.lpb, value->Value.bin.lpb + value->Value.bin.cb));
  MAPIFreeBuffer(value);
  c->Call<zel::FreeHObject>({session});
}

TEST_F(E2E, StoreAdviseReachesTheQueueOfItsSession) {
  std::int32_t s1 = 0, store1 = 0, s2 = 0, store2 = 0;
  auto first = LogOn(&s1, &store1);
  auto second = LogOn(&s2, &store2);
  // One connection, a store object per logon.
  EXPECT_NE(store1, store2);

  std::int32_t folder = NewFolder(*first, store1, "Shared");
  auto folder_id = first->Binary(folder, PR_ENTRYID);
  ASSERT_FALSE(folder_id.empty());
  auto advise = first->Call<zel::MSGSTORE_Advise>({store1, s1, {}, fnevObjectCreated | fnevNewMail, 4711});
  ASSERT_EQ(advise.result, S_OK);

  // The second session adds a message to the same folder.
  std::int32_t other = second->OpenEntry(store2, folder_id);
  auto message = second->Call<zel::IMAPIFOLDER_CreateMessage>({other, {}, 0});
  ASSERT_EQ(message.result, S_OK);
  ASSERT_EQ(second->SetProps(message.hMessage, {Text(PR_SUBJECT, "from the other session")}), S_OK);
  ASSERT_EQ(second->Call<zel::MAPIPROP_SaveChanges>({message.hMessage, 0}).result, S_OK);

  // Notifications come from MAPI's thread: poll as the client does.
  std::vector<std::uint8_t> block;
  std::int32_t count = 0;
  for (int i = 0; i < 100 && count == 0; ++i) {
    auto q = first->Call<zel::GetNotifyQuere>({s1});
    ASSERT_EQ(q.result, S_OK);
    count = q.cNotifications;
    if (count) block = first->Block(q.cb, q.hBuffer, q.inlineData);
    else std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(count, 1);
  ASSERT_GE(block.size(), zel::kNotifyEntryHeader);
  ULONG words[9];
  std::memcpy(words, block.data(), sizeof words);
  EXPECT_EQ(words[7], 4711u);  // the client key
  EXPECT_EQ(words[5], static_cast<ULONG>(advise.ulConnection));
  zel::MarshalReader reader(block.data() + zel::kNotifyEntryHeader, words[8]);
  LPNOTIFICATION note = nullptr;
  ASSERT_EQ(first->codec().ReadNotification(reader, nullptr, &note), S_OK);
  EXPECT_TRUE(note->ulEventType & (fnevObjectCreated | fnevNewMail));
  MAPIFreeBuffer(note);
  // The second session asked for nothing.
  EXPECT_EQ(second->Call<zel::GetNotifyQuere>({s2}).cNotifications, 0);
  EXPECT_EQ(first->Call<zel::MSGSTORE_Unadvise>({store1, advise.ulConnection}).result, S_OK);
  first->Call<zel::FreeHObject>({s1});
  second->Call<zel::FreeHObject>({s2});
}

TEST_F(E2E, LogonOutcomes) {
  Client c(server_->port());
  EXPECT_EQ(c.Logon(kProfile, kStore, kUser, "wrong"), static_cast<std::int32_t>(MAPI_E_INVALID_WORKSTATION_ACCOUNT));
  EXPECT_EQ(c.Logon(kProfile, kStore, "nobody", kPassword),
            static_cast<std::int32_t>(MAPI_E_INVALID_WORKSTATION_ACCOUNT));
  // An unknown store: a session without a store.
  std::int32_t s = c.Logon(kProfile, "No such store", kUser, kPassword);
  ASSERT_GT(s, 0);
  EXPECT_EQ(c.Call<zel::ZelLogon_GetMsgStore>({s}).result, 0);
  // The user sees its own mailbox profile.
  auto p = c.Call<zel::ZelLogon_QueryProfiles>({s});
  ASSERT_EQ(p.result, S_OK);
  auto text = c.Block(p.cb, p.hBuffer, p.inlineData);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), std::string("(") + kProfile + ")");
  auto stores = c.Call<zel::ZelLogon_QueryInfoStores>({s, kProfile});
  ASSERT_EQ(stores.result, S_OK);
  text = c.Block(stores.cb, stores.hBuffer, stores.inlineData);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), std::string("(") + kStore + ")");
  EXPECT_EQ(c.Call<zel::ZelLogon_AddRef>({s}).result, 2);
  c.Call<zel::FreeHObject>({s});
  // The admin logon checks the user only.
  EXPECT_GT(c.Call<zel::Tarnix_AdminLogon>({kUser, kPassword, "", ""}).result, 0);
  EXPECT_EQ(c.Call<zel::Tarnix_AdminLogon>({kUser, "wrong", "", ""}).result,
            static_cast<std::int32_t>(MAPI_E_INVALID_WORKSTATION_ACCOUNT));
}

TEST_F(E2E, StoreIdentityIsSetOnceAndKeptHidden) {
  Client c(server_->port());
  zel::wire::Bytes16 first{}, second{};
  for (int i = 0; i < 16; ++i) {
    first[i] = static_cast<std::uint8_t>(i + 1);
    second[i] = static_cast<std::uint8_t>(0xF0 + i);
  }
  auto r1 = c.Call<zel::Server_SetProfileGuid>({0, kProfile, kStore, first});
  ASSERT_EQ(r1.result, S_OK);
  EXPECT_EQ(r1.guid, first);
  auto r2 = c.Call<zel::Server_SetProfileGuid>({0, kProfile, kStore, second});
  ASSERT_EQ(r2.result, S_OK);
  EXPECT_EQ(r2.guid, first);
  // A store the profile lacks: nothing written, the bytes come back.
  auto r3 = c.Call<zel::Server_SetProfileGuid>({0, kProfile, "No such store", second});
  EXPECT_EQ(r3.result, S_OK);
  EXPECT_EQ(r3.guid, second);
  EXPECT_LT(c.Call<zel::Server_SetProfileGuid>({0, "no_such_profile", kStore, second}).result, 0);

  // The identity message is among the associated contents of the IPM
  // subtree only.
  std::int32_t session = 0, store = 0;
  auto client = LogOn(&session, &store);
  std::int32_t ipm = client->OpenEntry(store, client->Binary(store, PR_IPM_SUBTREE_ENTRYID));
  auto normal = client->Call<zel::IMAPICONTAIENR_GetContentsTable>({ipm, 0});
  auto hidden = client->Call<zel::IMAPICONTAIENR_GetContentsTable>({ipm, MAPI_ASSOCIATED});
  ASSERT_EQ(hidden.result, S_OK);
  auto subjects = client->Names(normal.hTable, PR_SUBJECT_A);
  EXPECT_EQ(std::find(subjects.begin(), subjects.end(), "MsgStore UID"), subjects.end());
  subjects = client->Names(hidden.hTable, PR_SUBJECT_A);
  EXPECT_EQ(std::count(subjects.begin(), subjects.end(), "MsgStore UID"), 1);
  client->Call<zel::FreeHObject>({session});
}

}  // namespace
}  // namespace vantrel
