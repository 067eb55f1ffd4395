// CServerIMsgStore: the server object of a message store, through which a
// session reaches every folder and message. Objects it opens carry it as
// their store object.
#pragma once

#include <map>

#include "server/objects/ServerIMAPIProp.h"

namespace vantrel::server {

class CServerIMsgStore : public CServerIMAPIProp {
 public:
  CServerIMsgStore() : CServerIMAPIProp(kIMsgStore) {}

  const char* Name() const override { return "IMsgStore"; }
  std::string DescriptionText() const override REQUIRES(lock) { return std::string(); }
  void Destroy() override;
  // Takes a reference of its own on the store; the store object then names
  // itself as its store object.
  void SetMapiObject(IUnknown* object) override;
  void SetStore(IMsgStore* store);

  HRESULT MSGSTORE_Advise(const zel::MSGSTORE_Advise::Request&, zel::MSGSTORE_Advise::Reply&) override;
  HRESULT MSGSTORE_Unadvise(const zel::MSGSTORE_Unadvise::Request&, zel::MSGSTORE_Unadvise::Reply&) override;
  HRESULT MSGSTORE_Undadvise(const zel::MSGSTORE_Undadvise::Request&, zel::MSGSTORE_Undadvise::Reply&) override;
  HRESULT MSGSTORE_CompareEntryIDs(const zel::MSGSTORE_CompareEntryIDs::Request&,
                                   zel::MSGSTORE_CompareEntryIDs::Reply&) override;
  HRESULT MSGSTORE_GetReceiveFolder(const zel::MSGSTORE_GetReceiveFolder::Request&,
                                    zel::MSGSTORE_GetReceiveFolder::Reply&) override;
  HRESULT MSGSTORE_GetReceiveFolderTable(const zel::MSGSTORE_GetReceiveFolderTable::Request&,
                                         zel::MSGSTORE_GetReceiveFolderTable::Reply&) override;
  HRESULT MSGSTORE_OpenEntry(const zel::MSGSTORE_OpenEntry::Request&, zel::MSGSTORE_OpenEntry::Reply&) override;
  HRESULT MSGSTORE_SetReceiveFolder(const zel::MSGSTORE_SetReceiveFolder::Request&,
                                    zel::MSGSTORE_SetReceiveFolder::Reply&) override;
  HRESULT MSGSTORE_OpenOutbox(const zel::MSGSTORE_OpenOutbox::Request&, zel::MSGSTORE_OpenOutbox::Reply&) override;

 protected:
  std::shared_ptr<CServerClass> StoreObject() const override REQUIRES(lock);

 private:
  // Throws once destroyed.
  IMsgStore* Store() const REQUIRES(lock);
  HRESULT Unadvise(std::int32_t connection);

  ComPtr<IMsgStore> store_ GUARDED_BY(lock);
  // The advise records this store made: their connection numbers and the
  // connection MAPI gave each.
  std::map<ULONG, ULONG> advises_ GUARDED_BY(lock);
};

}  // namespace vantrel::server
