// The server objects driven through the real dispatch, on a real store.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <utility>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/Guid.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/MemoryProp.h"
#include "platform/mapi/PstStore.h"
#include "protocol/ZelStubs.h"
#include "server/dispatch/TraceCapture.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/dispatch/ServerTrace.h"
#include "server/objects/ServerIMAPIFolder.h"
#include "server/objects/ServerIMsgStore.h"
#include "server/objects/ServerObjects.h"

namespace vantrel::server {
namespace {

// Stands in for the table, stream and storage classes: holds what it was
// given and answers no operation.
class TestHolder : public CServerClass {
 public:
  explicit TestHolder(std::int32_t kind) : CServerClass(kind) {}
  const char* Name() const override { return "TestHolder"; }
  void SetMapiObject(IUnknown* object) override { held = ComPtr<IUnknown>(object); }
  template <class I>
  ComPtr<I> As() {
    ComPtr<I> p;
    if (held) held->QueryInterface(I::kIID, p.OutVoid());
    return p;
  }
  ComPtr<IUnknown> held;
};

class TestSession : public CServerClass {
 public:
  TestSession() : CServerClass(kZelLogon) {}
  zel::CNotifyQueue* NotifyQueue() override { return &queue; }
  zel::CNotifyQueue queue;
};

// A property provider that refuses MAPI_UNICODE and opens anything.
class FakeProp : public vantrel::mapi::MapiPropBase<IMAPIProp> {
 public:
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    get_props_flags.push_back(flags);
    if (tags) asked_tag = tags->aulPropTag[0];
    if (flags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
    void* m;
    MAPIAllocateBuffer(sizeof(SPropValue), &m);
    auto* v = static_cast<SPropValue*>(m);
    v->ulPropTag = PR_SUBJECT;
    v->Value.lpszA = const_cast<char*>("narrow");
    *count = 1;
    *out = v;
    return S_OK;
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override {
    *out = new Opened(this);
    return S_OK;
  }

  // What OpenProperty returns; counts the objects alive.
  struct Opened : RefCounted<IUnknown> {
    explicit Opened(FakeProp* owner) : owner(owner) { ++owner->opened_alive; }
    ~Opened() override { --owner->opened_alive; }
    FakeProp* owner;
  };

  std::vector<ULONG> get_props_flags;
  ULONG asked_tag = 0;
  std::atomic<int> opened_alive{0};
};

zel::wire::Selector Iid(const IID& iid) { return zel::InterfaceSelector(iid); }

// A property value array decoded from a reply.
struct Values {
  HRESULT hr = 0;
  ULONG count = 0;
  MapiBuffer<SPropValue> v;
  const SPropValue& operator[](size_t i) const { return v.get()[i]; }
};

struct ObjectsTest : ::testing::Test {
  CServerClasses reg;
  std::unique_ptr<CServerDispatch> dispatch;
  zel::Transport transport;
  zel::CMapiMarshal codec;
  std::atomic<bool> enable_ms{false};
  ComPtr<IMsgStore> mapi_store;
  std::shared_ptr<TestSession> session = std::make_shared<TestSession>();
  std::int32_t hSession = 0, hStore = 0;

  void SetUp() override {
    dispatch = std::make_unique<CServerDispatch>(reg);
    transport = zel::LocalTransport(dispatch->Spec().dispatch);
    ServerObjectOptions options{[this] { return enable_ms.load(); }};
    reg.SetObjectFactory([options](std::int32_t type) -> std::shared_ptr<CServerClass> {
      // Holders in place of the table, stream and storage classes let the
      // tests reach the MAPI object a handle names.
      switch (type) {
        case kMapiTable:
          return std::make_shared<TestHolder>(kIMAPITable);
        case kMapiStream:
          return std::make_shared<TestHolder>(kIStream);
        case kMapiStorage:
          return std::make_shared<TestHolder>(kIStorage);
      }
      return MakeServerObject(type, options);
    });
    const char* dir = std::getenv("VANTREL_TEST_TMPDIR");
    ASSERT_NE(dir, nullptr);
    std::filesystem::create_directories(dir);
    std::string path = std::string(dir) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pst";
    std::filesystem::remove(path);
    ASSERT_EQ(OpenPstStore(path, "Test Store", MDB_WRITE, mapi_store.Out()), S_OK);
    hSession = reg.Register(session, -1, nullptr);
    auto store = std::make_shared<CServerIMsgStore>();
    store->SetStore(mapi_store.get());
    hStore = reg.Register(store, hSession, session);
  }

  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out;
    EXPECT_EQ(zel::Invoke<Op>(transport, in, out), RPC_S_OK) << Op::kName;
    return out;
  }

  // The whole result block: the inline part, then ReadBuffer for the rest.
  std::vector<std::uint8_t> Block(std::int32_t cb, std::int32_t hBuffer, const zel::wire::Inline::Value& inline_area) {
    std::vector<std::uint8_t> data(inline_area.begin(), inline_area.begin() + std::min<std::int32_t>(cb, 512));
    while (hBuffer >= 0 && static_cast<std::int32_t>(data.size()) < cb) {
      auto r = Call<zel::ReadBuffer>({hBuffer});
      if (r.cbRead <= 0) break;
      data.insert(data.end(), r.data.begin(), r.data.end());
    }
    return data;
  }

  template <class T>
  T* Object(std::int32_t handle) {
    return dynamic_cast<T*>(reg.Lookup(handle, kAnyKind).get());
  }

  Values GetProps(std::int32_t h, std::vector<std::uint32_t> tags, std::int32_t flags = 0) {
    auto r = Call<zel::MAPIPROP_GetProps>({h, std::move(tags), flags});
    Values out;
    out.hr = r.result;
    out.count = static_cast<ULONG>(r.cValues);
    auto data = Block(r.cb, r.hBuffer, r.inlineData);
    zel::MarshalReader reader(data);
    LPSPropValue v = nullptr;
    if (r.cValues > 0) {
      EXPECT_EQ(codec.ReadProps(reader, out.count, nullptr, &v), S_OK);
    }
    out.v.reset(v);
    return out;
  }

  std::string Text(std::int32_t h, ULONG tag) {
    Values v = GetProps(h, {tag});
    if (v.count != 1 || PROP_TYPE(v[0].ulPropTag) != PT_STRING8) return "<none>";
    return v[0].Value.lpszA;
  }

  std::vector<std::uint8_t> Binary(std::int32_t h, ULONG tag) {
    Values v = GetProps(h, {tag});
    if (v.count != 1 || PROP_TYPE(v[0].ulPropTag) != PT_BINARY) return {};
    return {v[0].Value.bin.lpb, v[0].Value.bin.lpb + v[0].Value.bin.cb};
  }

  HRESULT SetText(std::int32_t h, ULONG tag, const char* text) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value.lpszA = const_cast<char*>(text);
    auto data = codec.Encode([&] { return codec.SizeProps(&v, 1); },
                             [&](zel::MarshalWriter& w) { codec.WriteProps(w, &v, 1); });
    return Call<zel::MAPIPROP_SetProps>({h, 1, data}).result;
  }

  std::vector<std::uint8_t> EntryList(const std::vector<std::vector<std::uint8_t>>& ids) {
    std::vector<SBinary> bins;
    for (auto& id : ids) bins.push_back({static_cast<ULONG>(id.size()), const_cast<LPBYTE>(id.data())});
    ENTRYLIST list{static_cast<ULONG>(bins.size()), bins.data()};
    return codec.Encode([&] { return codec.SizeEntryList(&list); },
                        [&](zel::MarshalWriter& w) { codec.WriteEntryList(w, &list); });
  }

  // Opens through the store (which describes what it opens).
  std::int32_t OpenEntry(const std::vector<std::uint8_t>& id, std::int32_t* type = nullptr) {
    auto r = Call<zel::MSGSTORE_OpenEntry>({hStore, id, {}, static_cast<std::int32_t>(MAPI_BEST_ACCESS)});
    EXPECT_EQ(r.result, S_OK);
    if (type) *type = r.ulObjType;
    return r.hNewObject;
  }

  std::int32_t IpmSubtree() { return OpenEntry(Binary(hStore, PR_IPM_SUBTREE_ENTRYID)); }

  std::int32_t CreateFolder(std::int32_t parent, const std::string& name, std::int32_t flags = 0) {
    auto r = Call<zel::IMAPIFOLDER_CreateFolder>({parent, static_cast<std::int32_t>(FOLDER_GENERIC), name, "", {}, flags});
    EXPECT_EQ(r.result, S_OK) << name;
    return r.hNewFolder;
  }

  std::int32_t SavedMessage(std::int32_t folder, const char* subject) {
    auto m = Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, 0});
    EXPECT_EQ(m.result, S_OK);
    EXPECT_EQ(SetText(m.hMessage, PR_SUBJECT, subject), S_OK);
    EXPECT_EQ(Call<zel::MAPIPROP_SaveChanges>({m.hMessage, 0}).result, S_OK);
    return m.hMessage;
  }

  ULONG Rows(std::int32_t table_handle) {
    auto* holder = Object<TestHolder>(table_handle);
    if (!holder) return ~0u;
    auto table = holder->As<IMAPITable>();
    ULONG n = ~0u;
    if (table) table->GetRowCount(0, &n);
    return n;
  }

  ULONG Contents(std::int32_t folder, std::int32_t flags = 0) {
    auto r = Call<zel::IMAPICONTAIENR_GetContentsTable>({folder, flags});
    EXPECT_EQ(r.result, S_OK);
    return Rows(r.hTable);
  }
};

// ---- property objects ----

TEST_F(ObjectsTest, GetPropsNarrowsUnicodeAndReportsMissingValues) {
  std::int32_t folder = IpmSubtree();
  std::int32_t msg = SavedMessage(folder, "Grüße");
  Values v = GetProps(msg, {PROP_TAG(PT_UNICODE, 0x0037), PR_BODY});
  EXPECT_EQ(v.hr, MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(v.count, 2u);
  EXPECT_EQ(v[0].ulPropTag, 0x0037001Eu);
  EXPECT_STREQ(v[0].Value.lpszA, "Grüße");
  EXPECT_EQ(v[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)));
  EXPECT_EQ(v[1].Value.err, MAPI_E_NOT_FOUND);

  // A damaged value block never reaches MAPI.
  auto bad = Call<zel::MAPIPROP_SetProps>({msg, 3, {1, 2, 3}});
  EXPECT_EQ(bad.result, MAPI_E_NO_SUPPORT);
  // A property object has no message operations: nothing runs.
  auto attach = Call<zel::IMESSAGE_CreateAttach>({msg, {}, 0});
  ASSERT_EQ(attach.result, S_OK);
  enable_ms = true;
  EXPECT_EQ(Call<zel::IMESSAGE_SubmitMessage>({attach.hAttach, 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(Call<zel::IMAPIFOLDER_CreateMessage>({msg, {}, 0}).result, MAPI_E_OBJECT_DELETED);
}

// Answers that fit inline and answers that wait as blocks, in turn on one
// thread: each comes out whole and alone.
TEST_F(ObjectsTest, GetPropsAnswersOfBothSizesInTurn) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "short");
  const ULONG body = PROP_TAG(PT_STRING8, 0x1000), subject = PROP_TAG(PT_STRING8, 0x0037);
  std::string long_text(3000, 'x');
  ASSERT_EQ(SetText(msg, body, long_text.c_str()), S_OK);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Text(msg, body), long_text) << round;
    EXPECT_EQ(Text(msg, subject), "short") << round;
  }
}

TEST_F(ObjectsTest, GetPropsRetriesWithTheOtherCharWidth) {
  auto fake = ComPtr<FakeProp>::Adopt(new FakeProp);
  auto object = std::make_shared<CServerIMAPIProp>();
  object->SetMapiObject(fake.get());
  std::int32_t h = reg.Register(object, hSession, session);

  Values v = GetProps(h, {PROP_TAG(PT_UNICODE, 0x0037)}, static_cast<std::int32_t>(MAPI_UNICODE));
  EXPECT_EQ(v.hr, S_OK);
  ASSERT_EQ(v.count, 1u);
  EXPECT_STREQ(v[0].Value.lpszA, "narrow");
  EXPECT_EQ(fake->get_props_flags, (std::vector<ULONG>{MAPI_UNICODE, 0}));
  EXPECT_EQ(fake->asked_tag, PR_SUBJECT);
  EXPECT_EQ(Call<zel::MAPIPROP_GetLastError>({h, 0, 0}).result, MAPI_E_NO_SUPPORT);
}

TEST_F(ObjectsTest, OpenPropertyMapsTheInterfaceToAnObjectType) {
  auto fake = ComPtr<FakeProp>::Adopt(new FakeProp);
  auto object = std::make_shared<CServerIMAPIProp>();
  object->SetMapiObject(fake.get());
  std::int32_t h = reg.Register(object, hSession, session);
  struct Case {
    const IID& iid;
    std::int32_t kind;  // of the new object, -1 for none
    std::int32_t code;
    HRESULT result;
  } cases[] = {
      {IID_IMAPITable, kIMAPITable, 256, S_OK},     {IID_IStream, kIStream, 257, S_OK},
      {IID_IStreamDocfile, kIStream, 258, S_OK},    {IID_IMessage, kIMapiProp, 5, S_OK},
      {IID_IStorage, kIStorage, 259, S_OK},         {IID_IUnknown, -1, 0, MAPI_E_NO_SUPPORT},
  };
  for (const Case& c : cases) {
    auto r = Call<zel::IMAPIPROP_OpenProperty>({h, static_cast<std::int32_t>(PR_BODY), Iid(c.iid), 0, 0});
    EXPECT_EQ(r.result, c.result) << GuidToString(c.iid);
    EXPECT_EQ(r.ulObjectKind, c.code);
    if (c.kind < 0) {
      EXPECT_EQ(r.hNewObject, 0);
      continue;
    }
    auto created = reg.Lookup(r.hNewObject, kAnyKind);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->kind, c.kind);
    EXPECT_EQ(created->owner.load(), hSession);
    EXPECT_EQ(created->parent.lock(), session);
    EXPECT_EQ(created->Description(), FormatText("PropPR_BODY from %d ", h));
  }
  // Only the objects handed to server objects stay open.
  EXPECT_EQ(fake->opened_alive.load(), 4);
}

TEST_F(ObjectsTest, OpenPropertyOnARealMessage) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "with body");
  ASSERT_EQ(SetText(msg, PR_BODY, "the body"), S_OK);
  auto stream = Call<zel::IMAPIPROP_OpenProperty>({msg, static_cast<std::int32_t>(PR_BODY), Iid(IID_IStream), 0, 0});
  ASSERT_EQ(stream.result, S_OK);
  EXPECT_EQ(stream.ulObjectKind, 257);
  auto* holder = Object<TestHolder>(stream.hNewObject);
  ASSERT_NE(holder, nullptr);
  auto s = holder->As<IStream>();
  ASSERT_TRUE(s);
  char buf[16] = {};
  ULONG n = 0;
  s->Read(buf, sizeof buf, &n);
  EXPECT_EQ(std::string(buf, n), "the body");

  // An embedded message is a message object of its own.
  auto attach = Call<zel::IMESSAGE_CreateAttach>({msg, {}, 0});
  auto embedded = Call<zel::IMAPIPROP_OpenProperty>({attach.hAttach, static_cast<std::int32_t>(PR_ATTACH_DATA_OBJ),
                                                     Iid(IID_IMessage), 0,
                                                     static_cast<std::int32_t>(MAPI_CREATE | MAPI_MODIFY)});
  ASSERT_EQ(embedded.result, S_OK);
  EXPECT_EQ(embedded.ulObjectKind, 5);
  EXPECT_STREQ(Object<CServerClass>(embedded.hNewObject)->Name(), "IMessage");
  EXPECT_EQ(SetText(embedded.hNewObject, PR_SUBJECT, "inner"), S_OK);
  EXPECT_EQ(Text(embedded.hNewObject, PR_SUBJECT), "inner");
}

TEST_F(ObjectsTest, NamedPropertiesRoundTrip) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "named");
  GUID set = PS_PUBLIC_STRINGS;
  char16_t name[] = u"Colour";
  MAPINAMEID id{&set, MNID_STRING, {}};
  id.Kind.lpwstrName = name;
  MAPINAMEID* names[] = {&id};
  auto data = codec.Encode([&] { return codec.SizeNameIDArray(names, 1); },
                           [&](zel::MarshalWriter& w) { codec.WriteNameIDArray(w, names, 1); });
  auto ids = Call<zel::MAPIPROP_GetIDsFromNames>({msg, 1, data, static_cast<std::int32_t>(MAPI_CREATE)});
  ASSERT_EQ(ids.result, S_OK);
  auto tag_block = Block(ids.cb, ids.hBuffer, ids.inlineData);
  zel::MarshalReader tr(tag_block);
  LPSPropTagArray raw_tags = nullptr;
  ASSERT_EQ(codec.ReadTagArray(tr, nullptr, &raw_tags), S_OK);
  MapiBuffer<SPropTagArray> tags(raw_tags);
  ASSERT_EQ(tags->cValues, 1u);
  EXPECT_GE(PROP_ID(tags->aulPropTag[0]), 0x8000u);

  // No tags and no set: every named property, with both parts present.
  auto all = Call<zel::MAPIPROP_GetNamesFromID>({msg, {}, {}, 0});
  ASSERT_EQ(all.result, S_OK);
  ASSERT_EQ(all.cPropNames, 1);
  auto block = Block(all.cb, all.hBuffer, all.inlineData);
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[1], 1);
  zel::MarshalReader r(block.data() + 2, block.size() - 2);
  LPMAPINAMEID* raw_names = nullptr;
  ASSERT_EQ(codec.ReadMAPINAMEIDArray(r, 1, nullptr, &raw_names), S_OK);
  MapiBuffer<LPMAPINAMEID> got(raw_names);
  ASSERT_NE(got.get()[0], nullptr);
  EXPECT_EQ(std::u16string(got.get()[0]->Kind.lpwstrName), u"Colour");
  LPSPropTagArray raw_all = nullptr;
  ASSERT_EQ(codec.ReadTagArray(r, nullptr, &raw_all), S_OK);
  MapiBuffer<SPropTagArray> all_tags(raw_all);
  EXPECT_EQ(PROP_ID(all_tags->aulPropTag[0]), PROP_ID(tags->aulPropTag[0]));
}

// ---- containers and folders ----

TEST_F(ObjectsTest, CreateFolderWidensTheNameUnderMapiUnicode) {
  std::int32_t root = IpmSubtree();
  auto r = Call<zel::IMAPIFOLDER_CreateFolder>({root, static_cast<std::int32_t>(FOLDER_GENERIC), "Bücher Ärger",
                                                "für später", {}, static_cast<std::int32_t>(MAPI_UNICODE)});
  ASSERT_EQ(r.result, S_OK);
  EXPECT_EQ(Text(r.hNewFolder, PR_DISPLAY_NAME), "Bücher Ärger");
  EXPECT_EQ(Text(r.hNewFolder, PR_COMMENT), "für später");
  // Without a comment there is none.
  std::int32_t plain = CreateFolder(root, "Plain");
  EXPECT_EQ(Text(plain, PR_COMMENT), "<none>");
  EXPECT_EQ(Call<zel::IMAPIFOLDER_CreateFolder>({root, static_cast<std::int32_t>(FOLDER_GENERIC), "Plain", "", {}, 0})
                .result,
            MAPI_E_COLLISION);
}

TEST_F(ObjectsTest, HierarchyAndContentsTables) {
  std::int32_t root = IpmSubtree();
  std::int32_t folder = CreateFolder(root, "Work");
  auto hier = Call<zel::IMAPICONTAIENR_GetHierarchyTable>({folder, 0});
  ASSERT_EQ(hier.result, S_OK);
  EXPECT_EQ(Rows(hier.hTable), 0u);
  auto* table = Object<CServerClass>(hier.hTable);
  EXPECT_EQ(table->Description(), "Hierarchy from ");
  {
    MutexLock l(table->lock);
    EXPECT_EQ(table->store.lock(), reg.Lookup(hStore, kAnyKind));
  }

  SavedMessage(folder, "one");
  SavedMessage(folder, "two");
  auto assoc = Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, static_cast<std::int32_t>(MAPI_ASSOCIATED)});
  ASSERT_EQ(Call<zel::MAPIPROP_SaveChanges>({assoc.hMessage, 0}).result, S_OK);
  EXPECT_EQ(Contents(folder), 2u);
  EXPECT_EQ(Contents(folder, static_cast<std::int32_t>(MAPI_ASSOCIATED)), 1u);
  auto parent_hier = Call<zel::IMAPICONTAIENR_GetHierarchyTable>({root, 0});
  EXPECT_GE(Rows(parent_hier.hTable), 1u);

  // A folder's OpenEntry without an ID opens the folder again; it is not
  // described, so GetFolderID does not find it.
  auto again = Call<zel::IMAPICONTAIENR_OpenEntry>({folder, {}, {}, 0});
  ASSERT_EQ(again.result, S_OK);
  EXPECT_EQ(again.ulObjType, 3);
  EXPECT_NE(again.hNewObject, folder);
  EXPECT_EQ(Contents(again.hNewObject), 2u);
  auto find = Call<zel::GetFolderID>({Binary(folder, PR_ENTRYID)});
  EXPECT_EQ(find.result, MAPI_E_NOT_FOUND);
  // Not a search folder.
  auto crit = Call<zel::IMAPICONTAINER_GetSearchCriteria>({folder, 0});
  EXPECT_LT(crit.result, 0);
  EXPECT_EQ(crit.cb, 0);
}

TEST_F(ObjectsTest, SearchCriteriaRoundTrip) {
  std::int32_t root = IpmSubtree();
  std::int32_t source = CreateFolder(root, "Source");
  auto search = Call<zel::IMAPIFOLDER_CreateFolder>({root, static_cast<std::int32_t>(FOLDER_SEARCH), "Finder", "",
                                                     {}, 0});
  ASSERT_EQ(search.result, S_OK);
  SPropValue value{};
  value.ulPropTag = PR_SUBJECT;
  value.Value.lpszA = const_cast<char*>("x");
  SRestriction res{};
  res.rt = RES_CONTENT;
  res.res.resContent.ulFuzzyLevel = FL_SUBSTRING;
  res.res.resContent.ulPropTag = PR_SUBJECT;
  res.res.resContent.lpProp = &value;
  auto id = Binary(source, PR_ENTRYID);
  SBinary bin{static_cast<ULONG>(id.size()), id.data()};
  ENTRYLIST list{1, &bin};
  auto data = codec.Encode([&] { return codec.SizeRestriction(&res) + codec.SizeEntryList(&list); },
                           [&](zel::MarshalWriter& w) {
                             codec.WriteRestriction(w, &res);
                             codec.WriteEntryList(w, &list);
                           });
  ASSERT_EQ(Call<zel::IMAPICONAINER_SetSearchCriteria>({search.hNewFolder, data, 0}).result, S_OK);
  auto crit = Call<zel::IMAPICONTAINER_GetSearchCriteria>({search.hNewFolder, 0});
  ASSERT_EQ(crit.result, S_OK);
  auto block = Block(crit.cb, crit.hBuffer, crit.inlineData);
  zel::MarshalReader r(block);
  r.U32();  // the search state
  LPSRestriction raw_res = nullptr;
  ASSERT_EQ(codec.ReadRestriction(r, nullptr, &raw_res), S_OK);
  MapiBuffer<SRestriction> got_res(raw_res);
  EXPECT_EQ(got_res->rt, static_cast<ULONG>(RES_CONTENT));
  LPENTRYLIST raw_list = nullptr;
  ASSERT_EQ(codec.ReadEntryList(r, nullptr, &raw_list), S_OK);
  MapiBuffer<ENTRYLIST> got_list(raw_list);
  ASSERT_EQ(got_list->cValues, 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(got_list->lpbin[0].lpb, got_list->lpbin[0].lpb + got_list->lpbin[0].cb), id);
}

TEST_F(ObjectsTest, CopyAndMoveFindTheDestinationByEntryID) {
  std::int32_t root = IpmSubtree();
  std::int32_t a = CreateFolder(root, "A"), b = CreateFolder(root, "B");
  std::int32_t msg = SavedMessage(a, "travelling");
  auto msg_id = Binary(msg, PR_ENTRYID);
  // The client finds the destination among the objects the store opened.
  auto b_id = Binary(b, PR_ENTRYID);
  EXPECT_EQ(Call<zel::GetFolderID>({b_id}).result, MAPI_E_NOT_FOUND);
  std::int32_t opened_b = OpenEntry(b_id);
  auto found = Call<zel::GetFolderID>({b_id});
  ASSERT_EQ(found.result, S_OK);
  EXPECT_EQ(found.hObject, opened_b);
  EXPECT_EQ(Object<CServerClass>(opened_b)->Description(), "B");

  ASSERT_EQ(Call<zel::IMAPIFOLDER_CopyMessage>({a, msg_id, {}, found.hObject, 0}).result, S_OK);
  EXPECT_EQ(Contents(a), 1u);
  EXPECT_EQ(Contents(b), 1u);
  ASSERT_EQ(Call<zel::IMAPIFOLDER_CopyMessage>({a, msg_id, {}, found.hObject, static_cast<std::int32_t>(MESSAGE_MOVE)})
                .result,
            S_OK);
  EXPECT_EQ(Contents(a), 0u);
  EXPECT_EQ(Contents(b), 2u);

  // A destination that is not a folder, or no object at all.
  EXPECT_EQ(Call<zel::IMAPIFOLDER_CopyMessage>({b, msg_id, {}, msg, 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(Call<zel::IMAPIFOLDER_CopyFolder>({root, b_id, {}, hStore, "C", 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(Call<zel::IMAPIFOLDER_CopyMessage>({b, msg_id, {}, 9999, 0}).result, MAPI_E_OBJECT_DELETED);

  // A folder copy under a new name, with a name that needs widening.
  auto copy = Call<zel::IMAPIFOLDER_CopyFolder>(
      {root, b_id, {}, a, "Kopie ä", static_cast<std::int32_t>(COPY_SUBFOLDERS | MAPI_UNICODE)});
  ASSERT_EQ(copy.result, S_OK);
  auto hier = Call<zel::IMAPICONTAIENR_GetHierarchyTable>({a, 0});
  auto table = Object<TestHolder>(hier.hTable)->As<IMAPITable>();
  SizedSPropTagArray<1> cols{1, {PR_DISPLAY_NAME}};
  ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Kopie ä");
  FreeProws(rows);
}

TEST_F(ObjectsTest, CopiesInOppositeDirectionsDoNotDeadlock) {
  std::int32_t root = IpmSubtree();
  std::int32_t a = CreateFolder(root, "Left"), b = CreateFolder(root, "Right");
  auto in_a = Binary(SavedMessage(a, "left"), PR_ENTRYID);
  auto in_b = Binary(SavedMessage(b, "right"), PR_ENTRYID);
  auto copies = [&](std::int32_t from, std::int32_t to, const std::vector<std::uint8_t>& id) {
    for (int i = 0; i < 20; ++i) {
      zel::IMAPIFOLDER_CopyMessage::Reply out;
      zel::Invoke<zel::IMAPIFOLDER_CopyMessage>(transport, {from, id, {}, to, 0}, out);
      EXPECT_EQ(out.result, S_OK);
    }
  };
  std::thread left(copies, a, b, in_a), right(copies, b, a, in_b);
  left.join();
  right.join();
  EXPECT_EQ(Contents(a), 21u);
  EXPECT_EQ(Contents(b), 21u);
}

TEST_F(ObjectsTest, DeleteMessagesStatusAndReadFlags) {
  std::int32_t folder = CreateFolder(IpmSubtree(), "Mixed");
  std::int32_t one = SavedMessage(folder, "one"), two = SavedMessage(folder, "two");
  auto id1 = Binary(one, PR_ENTRYID), id2 = Binary(two, PR_ENTRYID);

  auto set = Call<zel::IMAPIFOLDER_SetMessageStatus>(
      {folder, id1, static_cast<std::int32_t>(MSGSTATUS_TAGGED), static_cast<std::int32_t>(MSGSTATUS_TAGGED)});
  ASSERT_EQ(set.result, S_OK);
  EXPECT_EQ(set.ulOldStatus, 0);
  auto get = Call<zel::IMAPIFOLDER_GetMessageStatus>({folder, id1, 0});
  ASSERT_EQ(get.result, S_OK);
  EXPECT_EQ(get.ulMessageStatus, static_cast<std::int32_t>(MSGSTATUS_TAGGED));

  ASSERT_EQ(Call<zel::IMAPIFOLDER_SetReadFlags>({folder, EntryList({id2}), 0, 0, 0}).result, S_OK);
  Values flags = GetProps(OpenEntry(id2), {PR_MESSAGE_FLAGS});
  EXPECT_TRUE(flags[0].Value.l & MSGFLAG_READ);

  ASSERT_EQ(Call<zel::IMAPIFOLDER_DeleteMessages>({folder, EntryList({id1}), 0, 0, 0}).result, S_OK);
  EXPECT_EQ(Contents(folder), 1u);
  EXPECT_EQ(Call<zel::IMAPIFOLDER_DeleteMessages>({folder, {0xFF}, 0, 0, 0}).result, MAPI_E_NO_SUPPORT);
  ASSERT_EQ(Call<zel::IMAPIFOLDER_EmptyFolder>({folder, 0, 0, 0}).result, S_OK);
  EXPECT_EQ(Contents(folder), 0u);
}

// ---- message store ----

TEST_F(ObjectsTest, StoreOpenEntryOfNothingOpensTheRoot) {
  std::int32_t type = 0;
  std::int32_t root = OpenEntry({}, &type);
  EXPECT_EQ(type, 3);
  ASSERT_NE(reg.Lookup(root, kIMAPIFolder), nullptr);
  {
    auto folder = reg.Lookup(root, kIMAPIFolder);
    MutexLock l(folder->lock);
    EXPECT_EQ(folder->store.lock(), reg.Lookup(hStore, kAnyKind));
  }
  auto hier = Call<zel::IMAPICONTAIENR_GetHierarchyTable>({root, 0});
  EXPECT_GE(Rows(hier.hTable), 1u);

  auto bad = Call<zel::MSGSTORE_OpenEntry>({hStore, {1, 2, 3}, {}, 0});
  EXPECT_LT(bad.result, 0);
  EXPECT_EQ(bad.hNewObject, 0);
  // A message without a subject is described by its entry ID.
  auto m = Call<zel::IMAPIFOLDER_CreateMessage>({root, {}, 0});
  ASSERT_EQ(Call<zel::MAPIPROP_SaveChanges>({m.hMessage, 0}).result, S_OK);
  auto id = Binary(m.hMessage, PR_ENTRYID);
  std::int32_t reopened = OpenEntry(id, &type);
  EXPECT_EQ(type, 5);
  std::string hex;
  for (auto b : id) hex += FormatText("%02X", b);
  EXPECT_EQ(Object<CServerClass>(reopened)->Description(), hex);
  {
    auto* object = Object<CServerClass>(reopened);
    MutexLock l(object->lock);
    EXPECT_EQ(object->entry_id_text, hex);
  }

  auto cmp = Call<zel::MSGSTORE_CompareEntryIDs>({hStore, id, id, 0});
  EXPECT_EQ(cmp.result, S_OK);
  EXPECT_EQ(cmp.ulResult, 1);
  auto outbox = Call<zel::MSGSTORE_OpenOutbox>({hStore});
  ASSERT_EQ(outbox.result, S_OK);
  EXPECT_EQ(Binary(outbox.hFolder, PR_ENTRYID), Binary(hStore, PR_IPM_OUTBOX_ENTRYID));
}

TEST_F(ObjectsTest, ReceiveFolderBlock) {
  auto r = Call<zel::MSGSTORE_GetReceiveFolder>({hStore, "IPM", 0});
  ASSERT_EQ(r.result, S_OK);
  auto block = Block(r.cb, r.hBuffer, r.inlineData);
  std::string text(block.begin(), block.end());
  ASSERT_EQ(text.size(), static_cast<size_t>(r.cb));
  size_t nul = text.find('\0');
  ASSERT_NE(nul, std::string::npos);
  std::string hex = text.substr(0, nul);
  EXPECT_EQ(text.substr(nul), std::string("\0IPM\0", 5));
  std::vector<std::uint8_t> inbox;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    inbox.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  std::int32_t folder = OpenEntry(inbox);
  EXPECT_EQ(Text(folder, PR_DISPLAY_NAME), "Inbox");

  // A class of its own names itself as the explicit class.
  std::int32_t notes = CreateFolder(IpmSubtree(), "Notes");
  ASSERT_EQ(Call<zel::MSGSTORE_SetReceiveFolder>({hStore, "IPM.Note", 0, Binary(notes, PR_ENTRYID)}).result, S_OK);
  auto custom = Call<zel::MSGSTORE_GetReceiveFolder>({hStore, "IPM.Note.Custom", 0});
  ASSERT_EQ(custom.result, S_OK);
  auto cblock = Block(custom.cb, custom.hBuffer, custom.inlineData);
  std::string ctext(cblock.begin(), cblock.end());
  EXPECT_EQ(ctext.substr(ctext.find('\0')), std::string("\0IPM.Note\0", 10));
  auto table = Call<zel::MSGSTORE_GetReceiveFolderTable>({hStore, 0});
  ASSERT_EQ(table.result, S_OK);
  auto* holder = Object<TestHolder>(table.hTable);
  ASSERT_NE(holder, nullptr);
  ULONG rows = 0;
  ASSERT_EQ(holder->As<IMAPITable>()->GetRowCount(0, &rows), S_OK);
  EXPECT_EQ(rows, 3u);  // "", "IPM" and "IPM.Note"
}

TEST_F(ObjectsTest, AdviseTwiceThenUnadviseTheFirst) {
  std::int32_t root = IpmSubtree();
  auto first = Call<zel::MSGSTORE_Advise>({hStore, hSession, {}, static_cast<std::int32_t>(fnevObjectCreated), 11});
  auto second = Call<zel::MSGSTORE_Advise>(
      {hStore, hSession, {}, static_cast<std::int32_t>(fnevObjectCreated | fnevObjectDeleted), 22});
  ASSERT_EQ(first.result, S_OK);
  ASSERT_EQ(second.result, S_OK);
  EXPECT_NE(first.ulConnection, second.ulConnection);

  // Client keys of the queued entries, waiting for `want` of them.
  auto poll = [&](size_t want) {
    std::multiset<std::uint32_t> keys;
    for (int i = 0; i == 0 || (i < 500 && keys.size() < want); ++i) {
      auto q = Call<zel::GetNotifyQuere>({hSession});
      auto block = Block(q.cb, q.hBuffer, q.inlineData);
      size_t at = 0;
      for (std::int32_t n = 0; n < q.cNotifications && at + zel::kNotifyEntryHeader <= block.size(); ++n) {
        std::uint32_t key, len;
        std::memcpy(&key, &block[at + 28], 4);
        std::memcpy(&len, &block[at + 32], 4);
        keys.insert(key);
        at += zel::kNotifyEntryHeader + len;
      }
      if (keys.size() < want) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return keys;
  };
  CreateFolder(root, "Seen twice");
  EXPECT_EQ(poll(2), (std::multiset<std::uint32_t>{11, 22}));

  ASSERT_EQ(Call<zel::MSGSTORE_Unadvise>({hStore, first.ulConnection}).result, S_OK);
  EXPECT_EQ(Call<zel::MSGSTORE_Unadvise>({hStore, first.ulConnection}).result, MAPI_E_NOT_FOUND);
  CreateFolder(root, "Seen once");
  auto keys = poll(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (auto k : poll(0)) keys.insert(k);
  EXPECT_EQ(keys, (std::multiset<std::uint32_t>{22}));

  // Freeing the store object ends its registrations, although the MAPI
  // store stays open.
  ASSERT_EQ(Call<zel::FreeHObject>({hStore}).result, 0);
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(mapi_store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &type, unk.Out()), S_OK);
  ComPtr<IMAPIFolder> mapi_root;
  ASSERT_EQ(unk->QueryInterface(IID_IMAPIFolder, mapi_root.OutVoid()), S_OK);
  ComPtr<IMAPIFolder> unseen;
  ASSERT_EQ(mapi_root->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Unseen"), nullptr, nullptr, 0, unseen.Out()),
            S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(poll(0).empty());
}


TEST_F(ObjectsTest, PropertyValuesAndTagsAreDumpedToTheMonitor) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "quiet");
  CaptureSink sink;
  std::string long_text(300, 'x');
  ASSERT_EQ(SetText(msg, PR_SUBJECT, long_text.c_str()), S_OK);
  auto lines = sink.Take();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ZelServer: IMAPIProp.SetProps(1) ; " + std::to_string(msg) + " ");
  EXPECT_EQ(lines[1], "ZelServer:   SPropValue[0 37001e(PR_SUBJECT)] = " + std::string(200, 'x'));

  auto list = Call<zel::MAPIPROP_GetPropList>({msg, 0});
  ASSERT_EQ(list.result, S_OK);
  lines = sink.Take();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("ZelServer: SPropTagArray.cValues = ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("ZelServer:   SPropTagArray.aulPropTag[0] = ", 0), 0u) << lines[2];
}

// ---- messages and attachments ----

TEST_F(ObjectsTest, SubmitFollowsEnableMS) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "to send");
  EXPECT_EQ(Call<zel::IMESSAGE_SubmitMessage>({msg, 0}).result, MAPI_E_NO_SUPPORT);
  Values flags = GetProps(msg, {PR_MESSAGE_FLAGS});
  EXPECT_FALSE(flags[0].Value.l & MSGFLAG_SUBMIT);

  enable_ms = true;
  EXPECT_EQ(Call<zel::IMESSAGE_SubmitMessage>({msg, 0}).result, MAPI_E_NO_RECIPIENTS);  // reached the store
  SPropValue recip[3] = {};
  recip[0].ulPropTag = PR_DISPLAY_NAME;
  recip[0].Value.lpszA = const_cast<char*>("Ann");
  recip[1].ulPropTag = PR_EMAIL_ADDRESS;
  recip[1].Value.lpszA = const_cast<char*>("ann@example.org");
  recip[2].ulPropTag = PR_RECIPIENT_TYPE;
  recip[2].Value.l = MAPI_TO;
  ADRLIST list{1, {{0, 3, recip}}};
  auto data = codec.Encode([&] { return codec.SizeAdrList(&list); },
                           [&](zel::MarshalWriter& w) { codec.WriteAdrList(w, &list); });
  ASSERT_EQ(Call<zel::IMESSAGE_ModifyRecipients>({msg, static_cast<std::int32_t>(MODRECIP_ADD), data}).result, S_OK);
  auto recips = Call<zel::IMESSAGE_GetRecipientTable>({msg, 0});
  EXPECT_EQ(Rows(recips.hTable), 1u);
  EXPECT_EQ(Call<zel::IMESSAGE_SubmitMessage>({msg, 0}).result, S_OK);
  flags = GetProps(msg, {PR_MESSAGE_FLAGS});
  EXPECT_TRUE(flags[0].Value.l & MSGFLAG_SUBMIT);
}

TEST_F(ObjectsTest, FreedMessageHandleIsGone) {
  std::int32_t msg = SavedMessage(IpmSubtree(), "short lived");
  ASSERT_EQ(Call<zel::IMESSAGE_SetReadFlag>({msg, 0}).result, S_OK);
  ASSERT_EQ(Call<zel::FreeHObject>({msg}).result, 0);
  EXPECT_EQ(Call<zel::IMESSAGE_SetReadFlag>({msg, 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(Call<zel::IMESSAGE_GetAttachmentTable>({msg, 0}).result, MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(Call<zel::MAPIPROP_SaveChanges>({msg, 0}).result, 1);
}

TEST_F(ObjectsTest, AttachmentsCreateOpenDelete) {
  std::int32_t folder = IpmSubtree();
  std::int32_t msg = SavedMessage(folder, "with files");
  auto a = Call<zel::IMESSAGE_CreateAttach>({msg, {}, 0});
  ASSERT_EQ(a.result, S_OK);
  EXPECT_GT(a.hAttach, 0);
  EXPECT_STREQ(Object<CServerClass>(a.hAttach)->Name(), "IMAPIProp");
  ASSERT_EQ(SetText(a.hAttach, PR_ATTACH_LONG_FILENAME, "report.txt"), S_OK);
  ASSERT_EQ(Call<zel::MAPIPROP_SaveChanges>({a.hAttach, 0}).result, S_OK);
  ASSERT_EQ(Call<zel::MAPIPROP_SaveChanges>({msg, 0}).result, S_OK);

  auto again = Call<zel::IMESSAGE_OpenAttach>({msg, a.ulAttachmentNum, {}, 0});
  ASSERT_EQ(again.result, S_OK);
  EXPECT_NE(again.hAttach, a.hAttach);
  EXPECT_EQ(Text(again.hAttach, PR_ATTACH_LONG_FILENAME), "report.txt");
  auto table = Call<zel::IMESSAGE_GetAttachmentTable>({msg, 0});
  EXPECT_EQ(Rows(table.hTable), 1u);
  EXPECT_EQ(Call<zel::IMESSAGE_OpenAttach>({msg, a.ulAttachmentNum + 1, {}, 0}).result, MAPI_E_NOT_FOUND);

  ASSERT_EQ(Call<zel::IMESSAGE_DeleteAttach>({msg, a.ulAttachmentNum, 0, 0, 0}).result, S_OK);
  ASSERT_EQ(Call<zel::MAPIPROP_SaveChanges>({msg, 0}).result, S_OK);
  EXPECT_EQ(Rows(table.hTable), 0u);
}

TEST_F(ObjectsTest, FactoryTable) {
  struct Case {
    std::int32_t type;
    std::int32_t kind;
    const char* name;
  } cases[] = {{1, kIMsgStore, "IMsgStore"}, {3, kIMAPIFolder, "IMAPIFolder"}, {5, kIMapiProp, "IMessage"},
               {7, kIMapiProp, "IMAPIProp"}, {256, kIMAPITable, "IMAPITable"}, {257, kIStream, "IStream"},
               {259, kIStorage, "IStorage"}, {258, -1, nullptr},             {2, -1, nullptr}};
  for (const Case& c : cases) {
    auto o = MakeServerObject(c.type, {});
    if (!c.name) {
      EXPECT_EQ(o, nullptr) << c.type;
      continue;
    }
    ASSERT_NE(o, nullptr) << c.type;
    EXPECT_EQ(o->kind, c.kind);
    EXPECT_STREQ(o->Name(), c.name);
  }
  CServerClasses other;
  InstallServerObjects(other, {});
  std::shared_ptr<CServerClass> made;
  EXPECT_EQ(other.CreateObject(3, nullptr, nullptr, nullptr, -1, "x", &made), 1);
  EXPECT_STREQ(made->Name(), "IMAPIFolder");
}

}  // namespace
}  // namespace vantrel::server
