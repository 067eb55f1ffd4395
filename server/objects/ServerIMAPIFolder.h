// CServerIMAPIContainer and CServerIMAPIFolder: the server objects of MAPI
// containers and folders. Tables and entries they open become objects of
// their own, registered under the same session.
#pragma once

#include "server/objects/ServerIMAPIProp.h"

namespace vantrel::server {

class CServerIMAPIContainer : public CServerIMAPIProp {
 public:
  CServerIMAPIContainer() : CServerIMAPIContainer(kIMapiContainer) {}

  const char* Name() const override { return "IMAPIContainer"; }
  std::string DescriptionText() const override REQUIRES(lock) { return std::string(); }
  void Destroy() override;
  void SetMapiObject(IUnknown* object) override;

  HRESULT IMAPICONTAIENR_GetContentsTable(const zel::IMAPICONTAIENR_GetContentsTable::Request&,
                                          zel::IMAPICONTAIENR_GetContentsTable::Reply&) override;
  HRESULT IMAPICONTAIENR_GetHierarchyTable(const zel::IMAPICONTAIENR_GetHierarchyTable::Request&,
                                           zel::IMAPICONTAIENR_GetHierarchyTable::Reply&) override;
  HRESULT IMAPICONTAINER_GetSearchCriteria(const zel::IMAPICONTAINER_GetSearchCriteria::Request&,
                                           zel::IMAPICONTAINER_GetSearchCriteria::Reply&) override;
  HRESULT IMAPICONTAIENR_OpenEntry(const zel::IMAPICONTAIENR_OpenEntry::Request&,
                                   zel::IMAPICONTAIENR_OpenEntry::Reply&) override;
  HRESULT IMAPICONAINER_SetSearchCriteria(const zel::IMAPICONAINER_SetSearchCriteria::Request&,
                                          zel::IMAPICONAINER_SetSearchCriteria::Reply&) override;

 protected:
  explicit CServerIMAPIContainer(std::int32_t kind) : CServerIMAPIProp(kind) {}
  // Throws once destroyed.
  IMAPIContainer* Container() const REQUIRES(lock);

  ComPtr<IMAPIContainer> container_ GUARDED_BY(lock);
};

class CServerIMAPIFolder : public CServerIMAPIContainer {
 public:
  CServerIMAPIFolder() : CServerIMAPIContainer(kIMAPIFolder) {}

  const char* Name() const override { return "IMAPIFolder"; }
  std::string DescriptionText() const override REQUIRES(lock) { return std::string(); }
  void Destroy() override;
  void SetMapiObject(IUnknown* object) override;
  // The folder interface for a copy into this folder: another reference, or
  // nullptr once the object is destroyed. Takes `lock` briefly.
  ComPtr<IMAPIFolder> FolderForCopy();

  HRESULT IMAPIFOLDER_CreateFolder(const zel::IMAPIFOLDER_CreateFolder::Request&,
                                   zel::IMAPIFOLDER_CreateFolder::Reply&) override;
  HRESULT IMAPIFOLDER_CreateMessage(const zel::IMAPIFOLDER_CreateMessage::Request&,
                                    zel::IMAPIFOLDER_CreateMessage::Reply&) override;
  HRESULT IMAPIFOLDER_DeleteFolder(const zel::IMAPIFOLDER_DeleteFolder::Request&,
                                   zel::IMAPIFOLDER_DeleteFolder::Reply&) override;
  HRESULT IMAPIFOLDER_DeleteMessages(const zel::IMAPIFOLDER_DeleteMessages::Request&,
                                     zel::IMAPIFOLDER_DeleteMessages::Reply&) override;
  HRESULT IMAPIFOLDER_EmptyFolder(const zel::IMAPIFOLDER_EmptyFolder::Request&,
                                  zel::IMAPIFOLDER_EmptyFolder::Reply&) override;
  HRESULT IMAPIFOLDER_GetMessageStatus(const zel::IMAPIFOLDER_GetMessageStatus::Request&,
                                       zel::IMAPIFOLDER_GetMessageStatus::Reply&) override;
  HRESULT IMAPIFOLDER_SaveContentsSort(const zel::IMAPIFOLDER_SaveContentsSort::Request&,
                                       zel::IMAPIFOLDER_SaveContentsSort::Reply&) override;
  HRESULT IMAPIFOLDER_SetMessageStatus(const zel::IMAPIFOLDER_SetMessageStatus::Request&,
                                       zel::IMAPIFOLDER_SetMessageStatus::Reply&) override;
  HRESULT IMAPIFOLDER_SetReadFlags(const zel::IMAPIFOLDER_SetReadFlags::Request&,
                                   zel::IMAPIFOLDER_SetReadFlags::Reply&) override;
  // A destination that is not a folder (or no longer holds one) answers
  // MAPI_E_OBJECT_DELETED, as a handle that names nothing does.
  HRESULT IMAPIFOLDER_CopyMessage(const zel::IMAPIFOLDER_CopyMessage::Request&, zel::IMAPIFOLDER_CopyMessage::Reply&,
                                  CServerClass& destination) override;
  HRESULT IMAPIFOLDER_CopyFolder(const zel::IMAPIFOLDER_CopyFolder::Request&, zel::IMAPIFOLDER_CopyFolder::Reply&,
                                 CServerClass& destination) override;

 private:
  // Throws once destroyed.
  IMAPIFolder* Folder() const REQUIRES(lock);

  ComPtr<IMAPIFolder> folder_ GUARDED_BY(lock);
  zel::CMapiMarshal folder_codec_;
};

}  // namespace vantrel::server
