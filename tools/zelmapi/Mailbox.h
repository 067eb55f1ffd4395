// One store of a profile through platform MAPI: logon, the store, folders
// by path ("Inbox", "Inbox/Projects") and messages by entry ID.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "tools/zelmapi/Options.h"

namespace zelmapi {

struct StoreInfo {
  std::string name;
  bool is_default = false;
  std::string entryid;  // bytes
};

class Mailbox {
 public:
  // Logs on; throws Failure with what to do.
  explicit Mailbox(const Options& options);
  ~Mailbox();

  std::vector<StoreInfo> Stores();
  // Opens the store of the options (the default store when none is named).
  void OpenStore();
  const std::string& profile() const { return profile_; }
  const std::string& store_name() const { return store_name_; }
  IMsgStore* store() const { return store_.get(); }

  // The top of the folder tree the user sees.
  vantrel::ComPtr<IMAPIFolder> Root();
  // "A/B/C" under the root; throws Failure naming the missing part.
  vantrel::ComPtr<IMAPIFolder> Folder(const std::string& path);
  vantrel::ComPtr<IMAPIFolder> OpenFolderId(const std::string& entryid);
  // The entry ID (bytes) of the folder at `path`; throws Failure.
  std::string FolderEntryId(const std::string& path);
  vantrel::ComPtr<IMessage> Message(const std::string& hex_entryid, bool write);

 private:
  vantrel::ComPtr<IMAPISession> session_;
  vantrel::ComPtr<IMsgStore> store_;
  std::string profile_;
  std::string wanted_store_;
  std::string store_name_;
};

// Throws Failure "what: CODE (0x...)" plus `hint` when hr failed.
void Check(HRESULT hr, const std::string& what, const std::string& hint = "");

// Every row of `table` with the columns `tags` (all rows at once; a failure
// says `what`); `row` sees each row's values in the order of `tags`.
void ForEachRow(IMAPITable* table, std::initializer_list<ULONG> tags, const std::string& what,
                const std::function<void(const SPropValue*)>& row);

}  // namespace zelmapi
