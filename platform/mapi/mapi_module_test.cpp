// One platform per process: a module loaded at run time (the test provider)
// uses the host's MAPI and registry, not copies of its own. Memory the
// module allocates is freed by the host, a notification the module raises
// on its own thread reaches the host's sink on the platform's one
// notification thread, and a registry key the host opened is the module's
// key too.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/NotificationThread.h"
#include "platform/mapi/TableData.h"
#include "platform/registry/Registry.h"

namespace {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = dlopen(VANTREL_TEST_PROVIDER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (module_) dlclose(module_);
  }
  template <typename Fn>
  Fn* Entry(const char* name) {
    void* fn = dlsym(module_, name);
    EXPECT_NE(fn, nullptr) << name;
    return reinterpret_cast<Fn*>(fn);
  }
  void* module_ = nullptr;
};

TEST_F(ModuleTest, ModuleMemoryIsFreedByTheHost) {
  // The module reaches the very allocator the host calls.
  EXPECT_EQ(Entry<void*()>("TestModuleAllocator")(), reinterpret_cast<void*>(&MAPIAllocateBuffer));

  char** blocks = nullptr;
  ASSERT_EQ(Entry<SCODE(ULONG, char***)>("TestModuleAllocate")(3, &blocks), S_OK);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(std::string(blocks[i]), "block " + std::to_string(i));
  // The host chains a block of its own to the module's root and frees
  // everything with one call: both allocations share one set of books.
  void* more = nullptr;
  ASSERT_EQ(MAPIAllocateMore(16, blocks, &more), S_OK);
  EXPECT_EQ(MAPIFreeBuffer(blocks), 0u);
}

TEST_F(ModuleTest, NotificationFromTheModulesThreadReachesTheHostsSink) {
  LPTABLEDATA data = nullptr;
  ASSERT_EQ(Entry<SCODE(LPTABLEDATA*)>("TestModuleMakeTable")(&data), S_OK);
  LPMAPITABLE view = nullptr;
  ASSERT_EQ(data->HrGetView(nullptr, nullptr, 0, &view), S_OK);

  vantrel::Mutex mu;
  vantrel::CondVar arrived;
  std::vector<LONG> added;
  std::thread::id delivered_on;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  vantrel::MutexLock lock(mu);
                  for (ULONG i = 0; i < n; ++i)
                    if (notes[i].info.tab.ulTableEvent == TABLE_ROW_ADDED)
                      added.push_back(notes[i].info.tab.propIndex.Value.l);
                  delivered_on = std::this_thread::get_id();
                  arrived.NotifyAll();
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(view->Advise(fnevTableModified, sink, &conn), S_OK);

  std::thread::id poster;
  ASSERT_EQ(Entry<HRESULT(LPTABLEDATA, LONG, std::thread::id*)>("TestModuleAddRow")(data, 42, &poster), S_OK);
  {
    vantrel::MutexLock lock(mu);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (added.empty() && std::chrono::steady_clock::now() < deadline) arrived.WaitUntil(lock, deadline);
    EXPECT_EQ(added, std::vector<LONG>{42});
    // Delivered by the platform's notification thread: neither the poster
    // (the module's thread) nor the host's.
    EXPECT_NE(delivered_on, poster);
    EXPECT_NE(delivered_on, std::this_thread::get_id());
  }
  ASSERT_EQ(view->Unadvise(conn), S_OK);
  vantrel::mapi::NotificationThread::Instance().Flush();
  sink->Release();
  view->Release();
  data->Release();
}

TEST_F(ModuleTest, ModuleSeesTheHostsRegistry) {
  std::string folder;
  Entry<void(std::string*)>("TestModuleRegistryFolder")(&folder);
  EXPECT_EQ(folder, vantrel::registry::Folder());

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Vantrel\\ModuleTest", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char text[] = "written by the host";
  ASSERT_EQ(RegSetValueEx(key, "Greeting", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  // The module reads through the host's open key: one table of keys.
  char buf[64] = {};
  DWORD cb = sizeof buf;
  ASSERT_EQ(Entry<LSTATUS(HKEY, const char*, char*, DWORD*)>("TestModuleReadValue")(key, "Greeting", buf, &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, text);
  EXPECT_EQ(RegDeleteTree(key, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace
