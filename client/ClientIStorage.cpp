#include "client/ClientIStorage.h"

#include <cstring>
#include <string>
#include <vector>

#include "client/ClientCall.h"
#include "client/ClientIEnumSTATSTG.h"
#include "client/ClientIStream.h"
#include "client/ClientStatStg.h"
#include "platform/base/CodePage.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

namespace {

constexpr DWORD kCreateMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x1012
constexpr ULONG kCopyBlock = 32768;
constexpr ULONG kEnumBatch = 10;
// Storages nest no deeper than this in a copy; a server that nests without
// end cannot make the copy recurse for ever.
constexpr int kMaxCopyDepth = 64;

std::string AnsiName(LPCOLESTR name) { return name ? Utf16ToAnsi(std::u16string_view(name)) : std::string(); }

bool Excluded(LPCOLESTR name, SNB snb) {
  if (!snb || !name) return false;
  for (WCHAR** p = snb; *p; ++p)
    if (std::u16string_view(*p) == std::u16string_view(name)) return true;
  return false;
}

bool IidExcluded(DWORD ciid, const IID* rgiid, const IID& iid) {
  for (DWORD i = 0; rgiid && i < ciid; ++i)
    if (rgiid[i] == iid) return true;
  return false;
}

template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
};

HRESULT CopyStream(IStream* from, IStream* to) {
  std::vector<BYTE> block(kCopyBlock);
  for (;;) {
    ULONG got = 0;
    HRESULT hr = from->Read(block.data(), kCopyBlock, &got);
    if (FAILED(hr)) return hr;
    if (got == 0) break;
    ULONG written = 0;
    if (HRESULT w = to->Write(block.data(), got, &written); FAILED(w)) return w;
    if (written != got) return STG_E_MEDIUMFULL;
  }
  return to->Commit(STGC_DEFAULT);
}

}  // namespace

CClientIStorage::CClientIStorage(std::int32_t handle, RPC_BINDING_HANDLE binding)
    : handle_(handle), binding_(binding) {}

CClientIStorage::~CClientIStorage() = default;

HRESULT CClientIStorage::QueryInterface(REFIID riid, void** ppv) {
  return QueryOneInterface(static_cast<IStorage*>(this), riid, IID_IStorage, ppv);
}

ULONG CClientIStorage::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG CClientIStorage::Release() {
  LONG n = --refs_;
  if (n > 0) return static_cast<ULONG>(n);
  FreeServerObject(binding_, handle_);
  delete this;
  return 0;
}

HRESULT CClientIStorage::CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                      IStream** ppstm) {
  ObjectTrace(handle_, false, "CClientIStorage::CreateStream");
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  zel::ISTORAGE_CreateStream::Request in{handle_, AnsiName(pwcsName), static_cast<std::int32_t>(grfMode),
                                         static_cast<std::int32_t>(reserved1), static_cast<std::int32_t>(reserved2)};
  zel::ISTORAGE_CreateStream::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_CreateStream>(binding_, in, out);
  if (SUCCEEDED(hr) && out.hNewStream > 0) *ppstm = new CClientIStream(out.hNewStream, binding_);
  return hr;
}

HRESULT CClientIStorage::OpenStream(LPCOLESTR pwcsName, void*, DWORD grfMode, DWORD, IStream** ppstm) {
  ObjectTrace(handle_, false, "CClientIStorage::OpenStream");
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  std::string name = AnsiName(pwcsName);
  zel::ISTORAGE_OpenStream::Request in{handle_, name, static_cast<std::int32_t>(grfMode)};
  zel::ISTORAGE_OpenStream::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_OpenStream>(binding_, in, out);
  if (SUCCEEDED(hr) && out.hNewStream > 0)
    *ppstm = new CClientIStream(out.hNewStream, binding_,
                                Format("OpenStream %s from IStorage %d", name.c_str(), static_cast<int>(handle_)));
  return hr;
}

HRESULT CClientIStorage::CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                                       IStorage** ppstg) {
  ObjectTrace(handle_, false, "CClientIStorage::CreateStorage");
  if (!ppstg) return STG_E_INVALIDPOINTER;
  *ppstg = nullptr;
  zel::ISTORAGE_CreateStorage::Request in{handle_, AnsiName(pwcsName), static_cast<std::int32_t>(grfMode),
                                          static_cast<std::int32_t>(reserved1),
                                          static_cast<std::int32_t>(reserved2)};
  zel::ISTORAGE_CreateStorage::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_CreateStorage>(binding_, in, out);
  if (SUCCEEDED(hr) && out.hNewStorage > 0) *ppstg = new CClientIStorage(out.hNewStorage, binding_);
  return hr;
}

HRESULT CClientIStorage::OpenStorage(LPCOLESTR pwcsName, IStorage*, DWORD grfMode, SNB, DWORD, IStorage** ppstg) {
  ObjectTrace(handle_, false, "CClientIStorage::OpenStorage");
  if (!ppstg) return STG_E_INVALIDPOINTER;
  *ppstg = nullptr;
  zel::ISTORAGE_OpenStorage::Request in{handle_, AnsiName(pwcsName), static_cast<std::int32_t>(grfMode)};
  zel::ISTORAGE_OpenStorage::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_OpenStorage>(binding_, in, out);
  if (SUCCEEDED(hr) && out.hNewStorage > 0) *ppstg = new CClientIStorage(out.hNewStorage, binding_);
  return hr;
}

HRESULT CClientIStorage::CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) {
  ObjectTrace(handle_, false, "CClientIStorage::CopyTo");
  if (!pstgDest) return STG_E_INVALIDPOINTER;
  return CopyInto(ciidExclude, rgiidExclude, snbExclude, pstgDest, 0);
}

// Copies class and elements through the destination's own methods. Every
// element is tried; the first failure is the result, so a copy that left
// something behind never reports success.
HRESULT CClientIStorage::CopyInto(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* dest,
                                  int depth) {
  if (depth > kMaxCopyDepth) return STG_E_INSUFFICIENTMEMORY;
  HRESULT first = S_OK;
  auto note = [&](HRESULT hr) {
    if (FAILED(hr) && first == S_OK) first = hr;
  };

  STATSTG self{};
  HRESULT hr = Stat(&self, STATFLAG_NONAME);
  if (SUCCEEDED(hr)) {
    note(dest->SetClass(self.clsid));
  } else {
    note(hr);
  }

  Ref<IEnumSTATSTG> elements;
  hr = EnumElements(0, nullptr, 0, &elements.p);
  if (FAILED(hr) || !elements.p) return FAILED(hr) ? hr : STG_E_INVALIDPOINTER;
  note(elements.p->Reset());
  const bool skip_streams = IidExcluded(ciidExclude, rgiidExclude, IID_IStream);
  const bool skip_storages = IidExcluded(ciidExclude, rgiidExclude, IID_IStorage);
  for (;;) {
    STATSTG batch[kEnumBatch] = {};
    ULONG fetched = 0;
    hr = elements.p->Next(kEnumBatch, batch, &fetched);
    if (FAILED(hr)) {
      note(hr);
      break;
    }
    if (fetched == 0) break;
    for (ULONG i = 0; i < fetched; ++i) {
      const STATSTG& e = batch[i];
      if (!e.pwcsName || Excluded(e.pwcsName, snbExclude)) continue;
      if (e.type == STGTY_STREAM && !skip_streams) {
        Ref<IStream> from, to;
        if (HRESULT r = OpenStream(e.pwcsName, nullptr, STGM_SHARE_EXCLUSIVE, 0, &from.p); FAILED(r)) {
          note(r);
          continue;
        }
        if (HRESULT r = dest->CreateStream(e.pwcsName, kCreateMode, 0, 0, &to.p); FAILED(r)) {
          note(r);
          continue;
        }
        note(CopyStream(from.p, to.p));
      } else if (e.type == STGTY_STORAGE && !skip_storages) {
        Ref<IStorage> from, to;
        if (HRESULT r = OpenStorage(e.pwcsName, nullptr, STGM_SHARE_EXCLUSIVE, nullptr, 0, &from.p); FAILED(r)) {
          note(r);
          continue;
        }
        if (HRESULT r = dest->CreateStorage(e.pwcsName, kCreateMode, 0, 0, &to.p); FAILED(r)) {
          note(r);
          continue;
        }
        // Exclusions name elements of the top level only.
        note(static_cast<CClientIStorage*>(from.p)->CopyInto(0, nullptr, nullptr, to.p, depth + 1));
      }
    }
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(batch[i].pwcsName);
    if (hr != S_OK) break;  // S_FALSE: fewer than asked, the end
  }
  return first;
}

HRESULT CClientIStorage::MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) {
  ObjectTrace(handle_, false, "CClientIStorage::MoveElementTo");
  return STG_E_MEDIUMFULL;
}

HRESULT CClientIStorage::Commit(DWORD grfCommitFlags) {
  ObjectTrace(handle_, false, "CClientIStorage::Commit");
  zel::ISTORAGE_Commit::Reply out;
  return CallRemote<zel::ISTORAGE_Commit>(binding_, {handle_, static_cast<std::int32_t>(grfCommitFlags)}, out);
}

HRESULT CClientIStorage::Revert() {
  ObjectTrace(handle_, false, "CClientIStorage::Revert");
  zel::ISTORAGE_Revert::Reply out;
  return CallRemote<zel::ISTORAGE_Revert>(binding_, {handle_}, out);
}

HRESULT CClientIStorage::EnumElements(DWORD reserved1, void*, DWORD reserved3, IEnumSTATSTG** ppenum) {
  ObjectTrace(handle_, false, "CClientIStorage::EnumElements");
  if (!ppenum) return STG_E_INVALIDPOINTER;
  *ppenum = nullptr;
  zel::ISTORAGE_ENUMElements::Request in{handle_, static_cast<std::int32_t>(reserved1), 0,
                                         static_cast<std::int32_t>(reserved3)};
  zel::ISTORAGE_ENUMElements::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_ENUMElements>(binding_, in, out);
  if (SUCCEEDED(hr) && out.hEnum > 0) *ppenum = new CClientIEnumSTATSTG(out.hEnum, binding_);
  return hr;
}

HRESULT CClientIStorage::DestroyElement(LPCOLESTR pwcsName) {
  ObjectTrace(handle_, false, "CClientIStorage::DestroyElement");
  zel::ISTORAGE_DestroyElement::Reply out;
  return CallRemote<zel::ISTORAGE_DestroyElement>(binding_, {handle_, AnsiName(pwcsName)}, out);
}

HRESULT CClientIStorage::RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) {
  ObjectTrace(handle_, false, "CClientIStorage::RenameElement");
  zel::ISTORAGE_RenameElement::Reply out;
  return CallRemote<zel::ISTORAGE_RenameElement>(binding_, {handle_, AnsiName(pwcsOldName), AnsiName(pwcsNewName)},
                                                 out);
}

HRESULT CClientIStorage::SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) {
  ObjectTrace(handle_, false, "CClientIStorage::SetElementTimes");
  return S_OK;
}

HRESULT CClientIStorage::SetClass(REFCLSID clsid) {
  ObjectTrace(handle_, false, "CClientIStorage::SetClass");
  zel::ISTORAGE_SetClass::Request in;
  in.hStorage = handle_;
  std::memcpy(in.clsid.data(), &clsid, 16);
  zel::ISTORAGE_SetClass::Reply out;
  return CallRemote<zel::ISTORAGE_SetClass>(binding_, in, out);
}

HRESULT CClientIStorage::SetStateBits(DWORD grfStateBits, DWORD grfMask) {
  ObjectTrace(handle_, false, "CClientIStorage::SetStateBits");
  zel::ISTORAGE_SetStateBits::Reply out;
  return CallRemote<zel::ISTORAGE_SetStateBits>(
      binding_, {handle_, static_cast<std::int32_t>(grfStateBits), static_cast<std::int32_t>(grfMask)}, out);
}

HRESULT CClientIStorage::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  ObjectTrace(handle_, false, "CClientIStorage::Stat");
  if (!pstatstg) return STG_E_INVALIDPOINTER;
  zel::ISTORAGE_Stats::Request in{handle_, static_cast<std::int32_t>(grfStatFlag)};
  zel::ISTORAGE_Stats::Reply out;
  HRESULT hr = CallRemote<zel::ISTORAGE_Stats>(binding_, in, out);
  if (hr != S_OK) {
    *pstatstg = STATSTG{};
    return hr;
  }
  return ConvertStatStg(out.statstg, grfStatFlag, pstatstg);
}

}  // namespace vantrel::client
