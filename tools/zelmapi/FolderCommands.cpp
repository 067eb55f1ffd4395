// store list, folder tree.
#include <cstdio>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

void Counts(IMAPIFolder* folder, long* unread, long* total) {
  SizedSPropTagArray<2> cols;
  cols.aulPropTag[0] = PR_CONTENT_UNREAD;
  cols.aulPropTag[1] = PR_CONTENT_COUNT;
  ULONG n = 0;
  LPSPropValue v = nullptr;
  if (FAILED(folder->GetProps(cols.get(), 0, &n, &v))) return;
  if (PROP_TYPE(v[0].ulPropTag) == PT_LONG) *unread = v[0].Value.l;
  if (PROP_TYPE(v[1].ulPropTag) == PT_LONG) *total = v[1].Value.l;
  MAPIFreeBuffer(v);
}

void Tree(Mailbox& box, IMAPIFolder* folder, const std::string& path, int depth, bool json) {
  ComPtr<IMAPITable> table;
  Check(folder->GetHierarchyTable(0, table.Out()), "cannot read the subfolders of '" + path + "'");
  SizedSPropTagArray<4> cols;
  cols.aulPropTag[0] = PR_DISPLAY_NAME;
  cols.aulPropTag[1] = PR_ENTRYID;
  cols.aulPropTag[2] = PR_CONTENT_UNREAD;
  cols.aulPropTag[3] = PR_CONTENT_COUNT;
  SSortOrderSet sort = {1, 0, 0, {{PR_DISPLAY_NAME, TABLE_SORT_ASCEND}}};
  LPSRowSet rows = nullptr;
  Check(HrQueryAllRows(table.get(), cols.get(), nullptr, &sort, 0, &rows), "cannot read the folders");
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    std::string name = PROP_TYPE(v[0].ulPropTag) == PT_STRING8 ? FromCp1252(v[0].Value.lpszA) : "?";
    long unread = PROP_TYPE(v[2].ulPropTag) == PT_LONG ? v[2].Value.l : 0;
    long total = PROP_TYPE(v[3].ulPropTag) == PT_LONG ? v[3].Value.l : 0;
    std::string sub = path.empty() ? name : path + "/" + name;
    ComPtr<IMAPIFolder> child;
    if (PROP_TYPE(v[1].ulPropTag) == PT_BINARY) {
      child = box.OpenFolderId(std::string(reinterpret_cast<const char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb));
      // The folder's own counts are current; a hierarchy row may lag.
      Counts(child.get(), &unread, &total);
    }
    if (json)
      std::printf("{\"path\":%s,\"name\":%s,\"unread\":%ld,\"total\":%ld}\n", Json(sub).c_str(), Json(name).c_str(),
                  unread, total);
    else
      std::printf("%*s%s (%ld/%ld)\n", depth * 2, "", name.c_str(), unread, total);
    if (child) Tree(box, child.get(), sub, depth + 1, json);
  }
  FreeProws(rows);
}

}  // namespace

int StoreCommand(const Options& o) {
  ArgList args(std::vector<std::string>(o.args.begin() + 1, o.args.end()));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi store list\n  Lists the stores of the profile; * marks the default.\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() != 1 || w[0] != "list") throw UsageError("usage: zelmapi store list");
  Mailbox box(o);
  for (const StoreInfo& s : box.Stores()) {
    if (o.json)
      std::printf("{\"name\":%s,\"default\":%s}\n", Json(s.name).c_str(), s.is_default ? "true" : "false");
    else
      std::printf("%s %s\n", s.is_default ? "*" : " ", s.name.c_str());
  }
  return 0;
}

int FolderCommand(const Options& o) {
  ArgList args(std::vector<std::string>(o.args.begin() + 1, o.args.end()));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi folder tree              folders with unread/total counts\n"
                "       zelmapi folder create PATH\n"
                "       zelmapi folder rename PATH NAME\n"
                "       zelmapi folder move PATH TO       (TO: a folder path, or / for the top)\n"
                "       zelmapi folder delete PATH        (with its messages and subfolders)\n"
                "       zelmapi folder empty PATH\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  static const char* kUsage = "usage: zelmapi folder tree|create|rename|move|delete|empty ...; see folder --help";
  if (w.empty()) throw UsageError(kUsage);
  const std::string& verb = w[0];
  size_t want = verb == "tree" ? 1 : verb == "rename" || verb == "move" ? 3 : 2;
  if (verb != "tree" && verb != "create" && verb != "rename" && verb != "move" && verb != "delete" && verb != "empty")
    throw UsageError(kUsage);
  if (w.size() != want) throw UsageError(kUsage);
  Mailbox box(o);
  box.OpenStore();
  if (verb == "tree") {
    ComPtr<IMAPIFolder> root = box.Root();
    Tree(box, root.get(), "", 0, o.json);
    return 0;
  }
  const std::string& path = w[1];
  size_t slash = path.rfind('/');
  std::string parent_path = slash == std::string::npos ? "" : path.substr(0, slash);
  std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  if (leaf.empty()) throw UsageError("a folder path names a folder: " + path);
  ComPtr<IMAPIFolder> parent = box.Folder(parent_path);
  if (verb == "create") {
    ComPtr<IMAPIFolder> made;
    std::string name = ToCp1252(leaf);
    Check(parent->CreateFolder(FOLDER_GENERIC, name.data(), nullptr, nullptr, 0, made.Out()),
          "cannot create '" + path + "'", "it may exist already");
    return 0;
  }
  std::string id = box.FolderEntryId(path);
  auto eid = reinterpret_cast<LPENTRYID>(id.data());
  auto cb = static_cast<ULONG>(id.size());
  if (verb == "rename") {
    std::string name = ToCp1252(w[2]);
    Check(parent->CopyFolder(cb, eid, nullptr, parent.get(), name.data(), 0, nullptr, FOLDER_MOVE),
          "cannot rename '" + path + "'", "a folder of that name may exist");
  } else if (verb == "move") {
    ComPtr<IMAPIFolder> to = w[2] == "/" ? box.Root() : box.Folder(w[2]);
    Check(parent->CopyFolder(cb, eid, nullptr, to.get(), nullptr, 0, nullptr, FOLDER_MOVE),
          "cannot move '" + path + "' to '" + w[2] + "'");
  } else if (verb == "delete") {
    Check(parent->DeleteFolder(cb, eid, 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), "cannot delete '" + path + "'");
  } else {
    ComPtr<IMAPIFolder> f = box.OpenFolderId(id);
    Check(f->EmptyFolder(0, nullptr, 0), "cannot empty '" + path + "'");
  }
  return 0;
}

}  // namespace zelmapi
