#include "bench/BenchMailbox.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/storage/ObjIdl.h"

namespace vantrel::bench {

std::vector<ULONG> TenTags() {
  std::vector<ULONG> tags;
  for (ULONG i = 0; i < 10; ++i) tags.push_back(i == 0 ? PR_SUBJECT_A : PROP_TAG(PT_STRING8, 0x6600 + i));
  return tags;
}

bool SeedMailbox(IMsgStore* store, int count, const char* program) {
  auto check = [program](HRESULT hr, const char* what) {
    if (FAILED(hr)) std::fprintf(stderr, "%s: %s failed: 0x%08X\n", program, what, static_cast<unsigned>(hr));
    return SUCCEEDED(hr);
  };
  LPSPropValue sub = nullptr;
  if (!check(HrGetOneProp(store, PR_IPM_SUBTREE_ENTRYID, &sub), "IPM subtree")) return false;
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  HRESULT hr = store->OpenEntry(sub->Value.bin.cb, reinterpret_cast<LPENTRYID>(sub->Value.bin.lpb), nullptr,
                                MAPI_MODIFY, &type, unk.Out());
  MAPIFreeBuffer(sub);
  if (!check(hr, "open IPM subtree")) return false;
  auto* ipm = static_cast<IMAPIFolder*>(unk.get());
  ComPtr<IMAPIFolder> folder, side;
  if (!check(ipm->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Bench"), nullptr, nullptr, 0, folder.Out()),
             "create Bench") ||
      !check(ipm->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Side"), nullptr, nullptr, 0, side.Out()),
             "create Side"))
    return false;

  for (int i = 0; i < count; ++i) {
    ComPtr<IMessage> m;
    if (!check(folder->CreateMessage(nullptr, 0, m.Out()), "create message")) return false;
    std::string subject = "Message number " + std::to_string(i) + " about the quarterly figures";
    std::string sender = "Sender " + std::to_string(i % 97);
    SPropValue p[6] = {};
    p[0].ulPropTag = PR_SUBJECT_A;
    p[0].Value.lpszA = subject.data();
    p[1].ulPropTag = PR_SENDER_NAME_A;
    p[1].Value.lpszA = sender.data();
    p[2].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    std::uint64_t t = 133000000000000000ull + static_cast<std::uint64_t>((i * 7919) % count) * 10000000ull;
    p[2].Value.ft.dwLowDateTime = static_cast<DWORD>(t);
    p[2].Value.ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    p[3].ulPropTag = PR_IMPORTANCE;
    p[3].Value.l = i % 3;
    p[4].ulPropTag = PR_MESSAGE_CLASS_A;
    p[4].Value.lpszA = const_cast<char*>("IPM.Note");
    p[5].ulPropTag = PR_BODY_A;
    p[5].Value.lpszA = const_cast<char*>("A short body.");
    if (!check(m->SetProps(6, p, nullptr), "set props") || !check(m->SaveChanges(0), "save")) return false;
  }

  ComPtr<IMessage> m;
  if (!check(side->CreateMessage(nullptr, 0, m.Out()), "create message")) return false;
  std::vector<ULONG> tags = TenTags();
  std::vector<SPropValue> p(tags.size());
  std::vector<std::string> texts(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    texts[i] = "value of property " + std::to_string(i) + " with a little text";
    p[i].ulPropTag = tags[i];
    p[i].Value.lpszA = texts[i].data();
  }
  if (!check(m->SetProps(static_cast<ULONG>(p.size()), p.data(), nullptr), "set props")) return false;
  ULONG num = 0;
  ComPtr<IAttach> a;
  if (!check(m->CreateAttach(nullptr, 0, &num, a.Out()), "create attach")) return false;
  SPropValue method{};
  method.ulPropTag = PR_ATTACH_METHOD;
  method.Value.l = ATTACH_BY_VALUE;
  if (!check(a->SetProps(1, &method, nullptr), "attach method")) return false;
  ComPtr<IStream> s;
  if (!check(a->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                             reinterpret_cast<LPUNKNOWN*>(s.Out())),
             "attachment stream"))
    return false;
  std::vector<std::uint8_t> chunk(65536);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i * 31);
  for (size_t done = 0; done < kAttachmentBytes; done += chunk.size()) {
    ULONG w = 0;
    if (!check(s->Write(chunk.data(), static_cast<ULONG>(chunk.size()), &w), "write")) return false;
  }
  return check(s->Commit(0), "commit") && check(a->SaveChanges(0), "save attach") && check(m->SaveChanges(0), "save");
}

}  // namespace vantrel::bench
