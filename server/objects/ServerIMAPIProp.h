// CServerIMAPIProp: the server object of any MAPI object with properties.
// Attachments are plain property objects; the store, container, folder and
// message classes derive from it, so every property operation works on them
// too. Each operation runs under the object's own lock and turns an
// exception into MAPI_E_NO_SUPPORT.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiMemory.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelWire.h"
#include "server/dispatch/ServerClasses.h"

namespace vantrel::server {

// MAPI memory owned until the end of a scope.
struct MapiFreeDeleter {
  void operator()(void* p) const { MAPIFreeBuffer(p); }
};
template <class T>
using MapiBuffer = std::unique_ptr<T, MapiFreeDeleter>;

// A tag array of the wire's tags; with `narrow_unicode` every PT_UNICODE tag
// becomes PT_STRING8 of the same property ID. Empty tags give nullptr.
MapiBuffer<SPropTagArray> MakeTagArray(const std::vector<std::uint32_t>& tags, bool narrow_unicode);

// The interface identifier an interface selector names, or nullptr.
const IID* SelectedIid(const zel::wire::Selector& selector, IID& storage);

// The IMAPIProp of an object MAPI returned. Providers need not answer the
// base interfaces, so the derived ones are asked as well.
ComPtr<IMAPIProp> QueryMapiProp(IUnknown* object);

// Describe's view of a MAPI object.
class CPropDescribeSource : public DescribeSource {
 public:
  explicit CPropDescribeSource(IMAPIProp* prop) : prop_(prop) {}
  std::optional<std::string> ReadText(ULONG tag) override;
  std::optional<std::vector<std::uint8_t>> ReadBinary(ULONG tag) override;

 private:
  IMAPIProp* prop_;
};

class CServerIMAPIProp : public CServerClass {
 public:
  CServerIMAPIProp() : CServerIMAPIProp(kIMapiProp) {}

  const char* Name() const override { return "IMAPIProp"; }
  // The description slot: the description itself here, "" in every class
  // derived from this one. The caller holds `lock`.
  virtual std::string DescriptionText() const REQUIRES(lock) { return description; }
  void Destroy() override;
  void SetMapiObject(IUnknown* object) override;

  HRESULT MAPIPROP_GetLastError(const zel::MAPIPROP_GetLastError::Request&,
                                zel::MAPIPROP_GetLastError::Reply&) override;
  HRESULT MAPIPROP_SaveChanges(const zel::MAPIPROP_SaveChanges::Request&, zel::MAPIPROP_SaveChanges::Reply&) override;
  HRESULT MAPIPROP_GetPropList(const zel::MAPIPROP_GetPropList::Request&, zel::MAPIPROP_GetPropList::Reply&) override;
  HRESULT MAPIPROP_GetProps(const zel::MAPIPROP_GetProps::Request&, zel::MAPIPROP_GetProps::Reply&) override;
  HRESULT MAPIPROP_SetProps(const zel::MAPIPROP_SetProps::Request&, zel::MAPIPROP_SetProps::Reply&) override;
  HRESULT MAPIPROP_DeleteProps(const zel::MAPIPROP_DeleteProps::Request&, zel::MAPIPROP_DeleteProps::Reply&) override;
  HRESULT MAPIPROP_GetNamesFromID(const zel::MAPIPROP_GetNamesFromID::Request&,
                                  zel::MAPIPROP_GetNamesFromID::Reply&) override;
  HRESULT MAPIPROP_GetIDsFromNames(const zel::MAPIPROP_GetIDsFromNames::Request&,
                                   zel::MAPIPROP_GetIDsFromNames::Reply&) override;
  HRESULT IMAPIPROP_OpenProperty(const zel::IMAPIPROP_OpenProperty::Request&,
                                 zel::IMAPIPROP_OpenProperty::Reply&) override;

 protected:
  explicit CServerIMAPIProp(std::int32_t kind) : CServerClass(kind) {}

  // Runs `body` under the object lock; an exception gives MAPI_E_NO_SUPPORT.
  template <class F>
  HRESULT Locked(F&& body) EXCLUDES(lock) {
    MutexLock l(lock);
    try {
      return body();
    } catch (...) {
      return MAPI_E_NO_SUPPORT;
    }
  }

  // The wrapped interface; throws once the object has been destroyed. The
  // caller holds `lock`.
  IMAPIProp* Prop() const REQUIRES(lock);
  // The store object that objects opened through this one get; the caller
  // holds `lock`.
  virtual std::shared_ptr<CServerClass> StoreObject() const REQUIRES(lock) { return store.lock(); }
  // Makes and registers the server object of `object_type` for a MAPI
  // object this one opened, under this object's owner and parent. Returns
  // the handle, 0 when the type makes nothing.
  std::int32_t MakeChild(std::int32_t object_type, IUnknown* mapi_object, const std::string* description,
                         const std::shared_ptr<CServerClass>& store_object,
                         std::shared_ptr<CServerClass>* created = nullptr);
  // A result block for `data`: total length, buffer handle, inline bytes.
  std::int32_t ResultBlock(std::vector<std::uint8_t> data, zel::wire::Inline::Value& inline_area, std::int32_t& cb);

  // The problem array MAPI returned (freed here) as the result block.
  void ProblemsBlock(LPSPropProblemArray problems, zel::wire::Inline::Value& inline_area, std::int32_t& cb,
                     std::int32_t& buffer);

  ComPtr<IMAPIProp> prop_ GUARDED_BY(lock);
  zel::CMapiMarshal codec_;
};

}  // namespace vantrel::server
