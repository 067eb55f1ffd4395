// CServerIStorage and CServerIEnumSTATSTG: a COM storage served by handle
// (OLE attachments), and the element enumerators it hands out.
#pragma once

#include "platform/storage/ObjIdl.h"
#include "server/dispatch/ServerClass.h"

namespace vantrel::server {

class CServerIStorage : public CServerClass {
 public:
  CServerIStorage() : CServerClass(kIStorage) {}

  const char* Name() const override { return "IStorage"; }
  // Takes a reference of its own (QueryInterface to IStorage).
  void SetMapiObject(IUnknown* object) override;
  void Destroy() override;

#define ZEL_STORAGE_OPERATIONS(X)                                                                          \
  X(ISTORAGE_Commit) X(ISTORAGE_CreateStorage) X(ISTORAGE_CreateStream) X(ISTORAGE_DestroyElement)         \
  X(ISTORAGE_ENUMElements) X(ISTORAGE_OpenStorage) X(ISTORAGE_OpenStream) X(ISTORAGE_RenameElement)        \
  X(ISTORAGE_Revert) X(ISTORAGE_SetClass) X(ISTORAGE_SetElementTimes) X(ISTORAGE_SetStateBits)             \
  X(ISTORAGE_Stats)
#define ZEL_DECLARE_STORAGE_OPERATION(op) HRESULT op(const zel::op::Request& in, zel::op::Reply& out) override;
  ZEL_STORAGE_OPERATIONS(ZEL_DECLARE_STORAGE_OPERATION)
#undef ZEL_DECLARE_STORAGE_OPERATION
#undef ZEL_STORAGE_OPERATIONS

 private:
  ComPtr<IStorage> storage_ GUARDED_BY(lock);
};

class CServerIEnumSTATSTG : public CServerClass {
 public:
  CServerIEnumSTATSTG() : CServerClass(kIEnumSTATSTG) {}

  const char* Name() const override { return "IEnumSTATSTG"; }
  // Takes a reference of its own (QueryInterface to IEnumSTATSTG).
  void SetMapiObject(IUnknown* object) override;
  void Destroy() override;

  HRESULT IEnumSTATSTG_Next(const zel::IEnumSTATSTG_Next::Request& in, zel::IEnumSTATSTG_Next::Reply& out) override;
  HRESULT IEnumSTATSTG_Skip(const zel::IEnumSTATSTG_Skip::Request& in, zel::IEnumSTATSTG_Skip::Reply& out) override;
  HRESULT IEnumSTATSTG_Reset(const zel::IEnumSTATSTG_Reset::Request& in, zel::IEnumSTATSTG_Reset::Reply& out) override;
  HRESULT IEnumSTATSTG_Clone(const zel::IEnumSTATSTG_Clone::Request& in, zel::IEnumSTATSTG_Clone::Reply& out) override;

 private:
  ComPtr<IEnumSTATSTG> enum_ GUARDED_BY(lock);
};

}  // namespace vantrel::server
