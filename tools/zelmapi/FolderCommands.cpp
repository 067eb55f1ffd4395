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
    std::printf("usage: zelmapi folder tree\n  Shows the folders with unread/total counts.\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() != 1 || w[0] != "tree") throw UsageError("usage: zelmapi folder tree");
  Mailbox box(o);
  box.OpenStore();
  ComPtr<IMAPIFolder> root = box.Root();
  Tree(box, root.get(), "", 0, o.json);
  return 0;
}

}  // namespace zelmapi
