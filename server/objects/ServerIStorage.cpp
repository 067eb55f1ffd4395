#include "server/objects/ServerIStorage.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/base/CodePage.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerTrace.h"
#include "server/objects/ServerIStream.h"

namespace vantrel::server {
namespace {

// Element names arrive in the ANSI code page; the storage wants UTF-16.
std::u16string Wide(const std::string& name) {
  return AnsiToUtf16(name);
}

FILETIME Time(std::uint64_t v) {
  return QuadToFileTime(v);
}

// Registers an enumerator under the owner and parent of `from`. The new
// object's lock is taken under from's: nobody else can see it yet.
std::int32_t RegisterEnumerator(CServerClass& from, IEnumSTATSTG* enumerator, const std::string& description)
    REQUIRES(from.lock) {
  auto object = std::make_shared<CServerIEnumSTATSTG>();
  object->SetMapiObject(enumerator);
  {
    MutexLock l(object->lock);
    object->description = description;
    object->store = from.store;
  }
  return from.registry->Register(object, from.owner.load(), from.parent.lock());
}

// Native entries asked of the enumerator per call: a large count from the
// wire grows the answer only by the elements that exist.
constexpr ULONG kNextChunk = 64;

}  // namespace

// ---- storage ----

void CServerIStorage::SetMapiObject(IUnknown* object) {
  ComPtr<IStorage> storage;
  if (object) object->QueryInterface(IID_IStorage, storage.OutVoid());
  MutexLock l(lock);
  storage_ = std::move(storage);
}

void CServerIStorage::Destroy() {
  ComPtr<IStorage> storage;
  {
    MutexLock l(lock);
    storage = std::move(storage_);
  }
}

#define STORAGE_OR_FAIL               \
  MutexLock l(lock);            \
  IStorage* storage = storage_.get(); \
  if (!storage) return MAPI_E_NO_SUPPORT;

HRESULT CServerIStorage::ISTORAGE_CreateStream(const zel::ISTORAGE_CreateStream::Request& in,
                                               zel::ISTORAGE_CreateStream::Reply& out) {
  STORAGE_OR_FAIL
  ComPtr<IStream> stream;
  HRESULT hr = storage->CreateStream(Wide(in.name).c_str(), static_cast<DWORD>(in.grfMode),
                                     static_cast<DWORD>(in.reserved1), static_cast<DWORD>(in.reserved2), stream.Out());
  if (stream) {
    std::string text = FormatText("CreateStream from IStorage %d", handle.load());
    out.hNewStream =
        registry->CreateObject(kMapiStream, store.lock(), parent.lock(), stream.get(), owner.load(), text.c_str());
  }
  return hr;
}

HRESULT CServerIStorage::ISTORAGE_OpenStream(const zel::ISTORAGE_OpenStream::Request& in,
                                             zel::ISTORAGE_OpenStream::Reply& out) {
  STORAGE_OR_FAIL
  ComPtr<IStream> stream;
  HRESULT hr = storage->OpenStream(Wide(in.name).c_str(), nullptr, static_cast<DWORD>(in.grfMode), 0, stream.Out());
  if (stream) {
    std::string text =
        FormatText("OpenStream %s Mode %d from IStorage %d", in.name.c_str(), in.grfMode, handle.load());
    out.hNewStream =
        registry->CreateObject(kMapiStream, store.lock(), parent.lock(), stream.get(), owner.load(), text.c_str());
  }
  return hr;
}

HRESULT CServerIStorage::ISTORAGE_CreateStorage(const zel::ISTORAGE_CreateStorage::Request& in,
                                                zel::ISTORAGE_CreateStorage::Reply& out) {
  STORAGE_OR_FAIL
  ComPtr<IStorage> child;
  HRESULT hr = storage->CreateStorage(Wide(in.name).c_str(), static_cast<DWORD>(in.grfMode),
                                      static_cast<DWORD>(in.reserved1), static_cast<DWORD>(in.reserved2), child.Out());
  if (child)
    out.hNewStorage =
        registry->CreateObject(kMapiStorage, store.lock(), parent.lock(), child.get(), owner.load(), nullptr);
  return hr;
}

HRESULT CServerIStorage::ISTORAGE_OpenStorage(const zel::ISTORAGE_OpenStorage::Request& in,
                                              zel::ISTORAGE_OpenStorage::Reply& out) {
  STORAGE_OR_FAIL
  ComPtr<IStorage> child;
  HRESULT hr =
      storage->OpenStorage(Wide(in.name).c_str(), nullptr, static_cast<DWORD>(in.grfMode), nullptr, 0, child.Out());
  if (child)
    out.hNewStorage =
        registry->CreateObject(kMapiStorage, store.lock(), parent.lock(), child.get(), owner.load(), nullptr);
  return hr;
}

HRESULT CServerIStorage::ISTORAGE_ENUMElements(const zel::ISTORAGE_ENUMElements::Request& in,
                                               zel::ISTORAGE_ENUMElements::Reply& out) {
  STORAGE_OR_FAIL
  ComPtr<IEnumSTATSTG> enumerator;
  // The second reserved value is a pointer on the platform; none crosses
  // the wire.
  HRESULT hr = storage->EnumElements(static_cast<DWORD>(in.reserved1), nullptr, static_cast<DWORD>(in.reserved3),
                                     enumerator.Out());
  if (hr == S_OK && enumerator) out.hEnum = RegisterEnumerator(*this, enumerator.get(), description);
  return hr;
}

HRESULT CServerIStorage::ISTORAGE_DestroyElement(const zel::ISTORAGE_DestroyElement::Request& in,
                                                 zel::ISTORAGE_DestroyElement::Reply&) {
  STORAGE_OR_FAIL
  return storage->DestroyElement(Wide(in.name).c_str());
}

HRESULT CServerIStorage::ISTORAGE_RenameElement(const zel::ISTORAGE_RenameElement::Request& in,
                                                zel::ISTORAGE_RenameElement::Reply&) {
  STORAGE_OR_FAIL
  return storage->RenameElement(Wide(in.oldName).c_str(), Wide(in.newName).c_str());
}

HRESULT CServerIStorage::ISTORAGE_SetElementTimes(const zel::ISTORAGE_SetElementTimes::Request& in,
                                                  zel::ISTORAGE_SetElementTimes::Reply&) {
  STORAGE_OR_FAIL
  const FILETIME ctime = Time(in.ctime), atime = Time(in.atime), mtime = Time(in.mtime);
  return storage->SetElementTimes(Wide(in.name).c_str(), &ctime, &atime, &mtime);
}

HRESULT CServerIStorage::ISTORAGE_SetClass(const zel::ISTORAGE_SetClass::Request& in, zel::ISTORAGE_SetClass::Reply&) {
  STORAGE_OR_FAIL
  return storage->SetClass(GuidFromBytes(in.clsid.data()));
}

HRESULT CServerIStorage::ISTORAGE_SetStateBits(const zel::ISTORAGE_SetStateBits::Request& in,
                                               zel::ISTORAGE_SetStateBits::Reply&) {
  STORAGE_OR_FAIL
  return storage->SetStateBits(static_cast<DWORD>(in.grfStateBits), static_cast<DWORD>(in.grfMask));
}

HRESULT CServerIStorage::ISTORAGE_Commit(const zel::ISTORAGE_Commit::Request& in, zel::ISTORAGE_Commit::Reply&) {
  STORAGE_OR_FAIL
  return storage->Commit(static_cast<DWORD>(in.grfCommitFlags));
}

HRESULT CServerIStorage::ISTORAGE_Revert(const zel::ISTORAGE_Revert::Request&, zel::ISTORAGE_Revert::Reply&) {
  STORAGE_OR_FAIL
  return storage->Revert();
}

HRESULT CServerIStorage::ISTORAGE_Stats(const zel::ISTORAGE_Stats::Request& in, zel::ISTORAGE_Stats::Reply& out) {
  STORAGE_OR_FAIL
  STATSTG stat{};
  HRESULT hr = storage->Stat(&stat, static_cast<DWORD>(in.grfStatFlag));
  // The storage's record never carries its name.
  FillStatRecord(stat, false, out.statstg);
  if (stat.pwcsName) CoTaskMemFree(stat.pwcsName);
  return hr;
}

#undef STORAGE_OR_FAIL

// ---- enumerator ----

void CServerIEnumSTATSTG::SetMapiObject(IUnknown* object) {
  ComPtr<IEnumSTATSTG> enumerator;
  if (object) object->QueryInterface(IID_IEnumSTATSTG, enumerator.OutVoid());
  MutexLock l(lock);
  enum_ = std::move(enumerator);
}

void CServerIEnumSTATSTG::Destroy() {
  ComPtr<IEnumSTATSTG> enumerator;
  {
    MutexLock l(lock);
    enumerator = std::move(enum_);
  }
}

#define ENUM_OR_FAIL                       \
  MutexLock l(lock);                 \
  IEnumSTATSTG* enumerator = enum_.get();  \
  if (!enumerator) return MAPI_E_NO_SUPPORT;

HRESULT CServerIEnumSTATSTG::IEnumSTATSTG_Next(const zel::IEnumSTATSTG_Next::Request&,
                                               zel::IEnumSTATSTG_Next::Reply& out) {
  ENUM_OR_FAIL
  const ULONG wanted = out.statstg.max;
  std::vector<STATSTG> entries(std::min(wanted, kNextChunk));
  HRESULT hr = S_OK;
  ULONG total = 0;
  while (total < wanted) {
    const ULONG ask = std::min<ULONG>(wanted - total, kNextChunk);
    ULONG fetched = 0;
    std::fill(entries.begin(), entries.end(), STATSTG{});
    hr = enumerator->Next(ask, entries.data(), &fetched);
    fetched = std::min(fetched, ask);
    for (ULONG i = 0; i < fetched; ++i) {
      zel::wire::StatStg record;
      FillStatRecord(entries[i], true, record);
      out.statstg.items.push_back(record);
      if (entries[i].pwcsName) CoTaskMemFree(entries[i].pwcsName);
    }
    total += fetched;
    if (FAILED(hr) || fetched < ask) break;
  }
  out.celtFetched = static_cast<std::int32_t>(total);
  if (SUCCEEDED(hr)) hr = total == wanted ? S_OK : S_FALSE;
  return hr;
}

HRESULT CServerIEnumSTATSTG::IEnumSTATSTG_Skip(const zel::IEnumSTATSTG_Skip::Request& in,
                                               zel::IEnumSTATSTG_Skip::Reply&) {
  ENUM_OR_FAIL
  return enumerator->Skip(static_cast<ULONG>(in.celt));
}

HRESULT CServerIEnumSTATSTG::IEnumSTATSTG_Reset(const zel::IEnumSTATSTG_Reset::Request&,
                                                zel::IEnumSTATSTG_Reset::Reply&) {
  ENUM_OR_FAIL
  return enumerator->Reset();
}

HRESULT CServerIEnumSTATSTG::IEnumSTATSTG_Clone(const zel::IEnumSTATSTG_Clone::Request&,
                                                zel::IEnumSTATSTG_Clone::Reply& out) {
  ENUM_OR_FAIL
  ComPtr<IEnumSTATSTG> clone;
  HRESULT hr = enumerator->Clone(clone.Out());
  if (hr == S_OK && clone) out.hClone = RegisterEnumerator(*this, clone.get(), description);
  return hr;
}

#undef ENUM_OR_FAIL

}  // namespace vantrel::server
