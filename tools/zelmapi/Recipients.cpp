#include "tools/zelmapi/Recipients.h"

#include <algorithm>
#include <cstring>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t i = s.find_first_not_of(" \t");
  return i == std::string::npos ? "" : s.substr(i);
}

char* Copy(const std::string& s, void* owner) {
  void* p = nullptr;
  if (MAPIAllocateMore(static_cast<ULONG>(s.size() + 1), owner, &p) != S_OK) throw Failure("out of memory");
  std::memcpy(p, s.c_str(), s.size() + 1);
  return static_cast<char*>(p);
}

}  // namespace

std::vector<Recipient> ParseAddresses(const std::string& text, ULONG type) {
  std::vector<Recipient> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(',', start);
    std::string one = Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() : comma + 1;
    if (one.empty()) continue;
    Recipient r;
    r.type = type;
    size_t lt = one.find('<'), gt = one.rfind('>');
    if (lt != std::string::npos && gt != std::string::npos && gt > lt) {
      r.email = Trim(one.substr(lt + 1, gt - lt - 1));
      r.name = Trim(one.substr(0, lt));
      if (r.name.size() >= 2 && r.name.front() == '"' && r.name.back() == '"') r.name = r.name.substr(1, r.name.size() - 2);
    } else {
      r.email = one;
    }
    if (r.name.empty()) r.name = r.email;
    out.push_back(r);
  }
  return out;
}

void AddRecipients(IMessage* m, const std::vector<Recipient>& list) {
  if (list.empty()) return;
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(list.size())), &buf) != S_OK) throw Failure("out of memory");
  auto* adr = static_cast<LPADRLIST>(buf);
  adr->cEntries = 0;
  for (const Recipient& r : list) {
    void* pv = nullptr;
    if (MAPIAllocateBuffer(4 * sizeof(SPropValue), &pv) != S_OK) {
      FreePadrlist(adr);
      throw Failure("out of memory");
    }
    auto* v = static_cast<LPSPropValue>(pv);
    std::memset(v, 0, 4 * sizeof(SPropValue));
    ADRENTRY& e = adr->aEntries[adr->cEntries++];
    e.ulReserved1 = 0;
    e.cValues = 4;
    e.rgPropVals = v;
    v[0].ulPropTag = PR_DISPLAY_NAME;
    v[0].Value.lpszA = Copy(ToCp1252(r.name), pv);
    v[1].ulPropTag = PR_EMAIL_ADDRESS;
    v[1].Value.lpszA = Copy(ToCp1252(r.email), pv);
    v[2].ulPropTag = PR_ADDRTYPE;
    v[2].Value.lpszA = Copy("SMTP", pv);
    v[3].ulPropTag = PR_RECIPIENT_TYPE;
    v[3].Value.l = static_cast<LONG>(r.type);
  }
  HRESULT hr = m->ModifyRecipients(MODRECIP_ADD, adr);
  FreePadrlist(adr);
  Check(hr, "cannot add the recipients");
}

std::vector<Recipient> ReadRecipients(IMessage* m) {
  ComPtr<IMAPITable> table;
  Check(m->GetRecipientTable(0, table.Out()), "cannot read the recipients");
  std::vector<Recipient> out;
  ForEachRow(table.get(), {PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_RECIPIENT_TYPE}, "cannot read the recipients",
             [&](const SPropValue* v) {
               Recipient r;
               if (PROP_TYPE(v[0].ulPropTag) == PT_STRING8) r.name = FromCp1252(v[0].Value.lpszA);
               if (PROP_TYPE(v[1].ulPropTag) == PT_STRING8) r.email = FromCp1252(v[1].Value.lpszA);
               if (PROP_TYPE(v[2].ulPropTag) == PT_LONG) r.type = static_cast<ULONG>(v[2].Value.l);
               out.push_back(r);
             });
  return out;
}

std::string FormatAddress(const Recipient& r) {
  if (r.name.empty() || r.name == r.email) return r.email;
  return r.email.empty() ? r.name : r.name + " <" + r.email + ">";
}

std::vector<AttachmentInfo> ReadAttachments(IMessage* m) {
  ComPtr<IMAPITable> table;
  Check(m->GetAttachmentTable(0, table.Out()), "cannot read the attachments");
  std::vector<AttachmentInfo> out;
  ForEachRow(table.get(), {PR_ATTACH_NUM, PR_ATTACH_LONG_FILENAME, PR_ATTACH_SIZE}, "cannot read the attachments",
             [&](const SPropValue* v) {
               AttachmentInfo a;
               if (PROP_TYPE(v[0].ulPropTag) == PT_LONG) a.number = v[0].Value.l;
               if (PROP_TYPE(v[1].ulPropTag) == PT_STRING8) a.name = FromCp1252(v[1].Value.lpszA);
               if (PROP_TYPE(v[2].ulPropTag) == PT_LONG) a.size = v[2].Value.l;
               out.push_back(a);
             });
  return out;
}

}  // namespace zelmapi

#include "platform/storage/ObjIdl.h"

namespace zelmapi {

std::string ReadBody(IMessage* m, const SPropValue& got) {
  if (PROP_TYPE(got.ulPropTag) == PT_STRING8) return got.Value.lpszA ? FromCp1252(got.Value.lpszA) : "";
  if (PROP_TYPE(got.ulPropTag) != PT_ERROR || got.Value.err != MAPI_E_NOT_ENOUGH_MEMORY) return "";
  ComPtr<IUnknown> unk;
  Check(m->OpenProperty(PR_BODY, &IID_IStream, 0, 0, unk.Out()), "cannot read a message's body");
  std::string out;
  char buf[65536];
  for (;;) {
    ULONG n = 0;
    Check(static_cast<IStream*>(unk.get())->Read(buf, sizeof buf, &n), "cannot read a message's body");
    if (n == 0) break;
    out.append(buf, n);
  }
  return FromCp1252(out);
}

std::string ReadAttachmentData(IMessage* m, long number) {
  ComPtr<IAttach> att;
  Check(m->OpenAttach(static_cast<ULONG>(number), nullptr, MAPI_BEST_ACCESS, att.Out()), "cannot open an attachment");
  ComPtr<IUnknown> unk;
  if (FAILED(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.Out()))) return "";
  std::string out;
  char buf[65536];
  for (;;) {
    ULONG got = 0;
    Check(static_cast<IStream*>(unk.get())->Read(buf, sizeof buf, &got), "cannot read an attachment");
    if (got == 0) break;
    out.append(buf, got);
  }
  return out;
}

void AttachData(IMessage* m, const std::string& name, const std::string& data) {
  ComPtr<IAttach> att;
  ULONG num = 0;
  HRESULT hr = m->CreateAttach(nullptr, 0, &num, att.Out());
  std::string name8 = ToCp1252(name);
  SPropValue v[3] = {};
  v[0].ulPropTag = PR_ATTACH_METHOD;
  v[0].Value.l = ATTACH_BY_VALUE;
  v[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
  v[1].Value.lpszA = name8.data();
  v[2].ulPropTag = PR_DISPLAY_NAME;
  v[2].Value.lpszA = name8.data();
  if (SUCCEEDED(hr)) hr = att->SetProps(3, v, nullptr);
  ComPtr<IUnknown> unk;
  if (SUCCEEDED(hr))
    hr = att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY, unk.Out());
  for (size_t off = 0; SUCCEEDED(hr) && off < data.size();) {
    ULONG n = static_cast<ULONG>(std::min<size_t>(data.size() - off, 65536)), wrote = 0;
    hr = static_cast<IStream*>(unk.get())->Write(data.data() + off, n, &wrote);
    off += n;
  }
  if (SUCCEEDED(hr)) hr = static_cast<IStream*>(unk.get())->Commit(0);
  unk.Reset();
  if (SUCCEEDED(hr)) hr = att->SaveChanges(0);
  Check(hr, "cannot attach " + name);
}

}  // namespace zelmapi
