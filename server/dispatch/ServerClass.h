// CServerClass: the base of every object the registry names by handle.
// Each remote operation that runs on an object calls one virtual operation
// here; the object classes override the ones of their interface. The base
// versions run nothing and answer the operation's not-found result, which
// is what an object gets that passes the kind test without having the
// operation (a property object handed to a message operation).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/HResult.h"
#include "platform/base/Unknown.h"
#include "protocol/ZelProtocol.h"

namespace vantrel::server {

class CServerClasses;

// Object kinds; the kind test of the registry works on these.
enum ObjectKind : std::int32_t {
  kAnyKind = -1,
  kZelLogon = 0,
  kIMsgStore = 1,
  kIMapiProp = 2,
  kIMapiContainer = 3,
  kIMessage = 4,
  kIStream = 5,
  kIMAPIFolder = 6,
  kIMAPITable = 7,
  kIStorage = 8,
  kIEnumSTATSTG = 9,
  kIZELDirectory = 10,
};

// "ZELLOGON", "IMsgStore", ... ; "" for any other value.
const char* KindTypeName(std::int32_t kind);

// Whether an object of kind `kind` may serve where `wanted` is asked.
bool KindDerivesFrom(std::int32_t kind, std::int32_t wanted);

// Operations of objects: name and the result of an object without them.
// Each takes the decoded inputs and fills the outputs (all 0 before the
// call); the return value is the operation's result. Contracts beyond that:
// - Tarnix_Logon runs on a session the handler has referenced once and
//   registered; a negative status is passed on, anything else gives the
//   caller the session handle.
// - Tarnix_AdminLogon returns 0 when the user check passes, having stored
//   the four strings; the handler then registers the session. Otherwise the
//   handler destroys it.
// - ZelLogon_GetMsgStore returns the store handle as its result.
// - The advise operations key their records with the object's own handle.
// - Operations that open objects register them through `registry` and put
//   the handles into the outputs; result blocks go through
//   registry->MakeResultBlock.
#define ZEL_SERVER_OBJECT_OPERATIONS(X)                      \
  X(Tarnix_Logon, 1)                                         \
  X(Tarnix_AdminLogon, MAPI_E_INVALID_WORKSTATION_ACCOUNT)   \
  X(ZelLogon_QueryProfiles, 1)                               \
  X(ZelLogon_QueryInfoStores, 1)                             \
  X(ZelLogon_GetMsgStore, 1)                                 \
  X(MAPIPROP_GetLastError, MAPI_E_NO_SUPPORT)                \
  X(MAPIPROP_SaveChanges, 1)                                 \
  X(MAPIPROP_GetPropList, MAPI_E_NO_SUPPORT)                 \
  X(MAPIPROP_GetProps, MAPI_E_NO_SUPPORT)                    \
  X(MAPIPROP_DeleteProps, MAPI_E_NO_SUPPORT)                 \
  X(MAPIPROP_SetProps, MAPI_E_NO_SUPPORT)                    \
  X(MAPIPROP_GetNamesFromID, MAPI_E_NO_SUPPORT)              \
  X(MAPIPROP_GetIDsFromNames, MAPI_E_NO_SUPPORT)             \
  X(IMAPIPROP_OpenProperty, MAPI_E_NO_SUPPORT)               \
  X(MSGSTORE_Advise, MAPI_E_NO_SUPPORT)                      \
  X(MSGSTORE_Unadvise, MAPI_E_NO_SUPPORT)                    \
  X(MSGSTORE_CompareEntryIDs, MAPI_E_NO_SUPPORT)             \
  X(MSGSTORE_GetReceiveFolder, MAPI_E_NO_SUPPORT)            \
  X(MSGSTORE_GetReceiveFolderTable, MAPI_E_NO_SUPPORT)       \
  X(MSGSTORE_OpenEntry, MAPI_E_NO_SUPPORT)                   \
  X(MSGSTORE_SetReceiveFolder, MAPI_E_NO_SUPPORT)            \
  X(MSGSTORE_Undadvise, MAPI_E_NO_SUPPORT)                   \
  X(MSGSTORE_OpenOutbox, MAPI_E_NO_SUPPORT)                  \
  X(IMESSAGE_GetAttachmentTable, MAPI_E_OBJECT_DELETED)      \
  X(IMESSAGE_GetRecipientTable, MAPI_E_OBJECT_DELETED)       \
  X(IMESSAGE_CreateAttach, MAPI_E_OBJECT_DELETED)            \
  X(IMESSAGE_DeleteAttach, MAPI_E_OBJECT_DELETED)            \
  X(IMESSAGE_OpenAttach, MAPI_E_OBJECT_DELETED)              \
  X(IMESSAGE_ModifyRecipients, MAPI_E_OBJECT_DELETED)        \
  X(IMESSAGE_SetReadFlag, MAPI_E_OBJECT_DELETED)             \
  X(IMESSAGE_SubmitMessage, MAPI_E_OBJECT_DELETED)           \
  X(IMAPICONTAIENR_GetContentsTable, MAPI_E_OBJECT_DELETED)  \
  X(IMAPICONTAIENR_GetHierarchyTable, MAPI_E_OBJECT_DELETED) \
  X(IMAPICONTAINER_GetSearchCriteria, MAPI_E_OBJECT_DELETED) \
  X(IMAPICONTAIENR_OpenEntry, MAPI_E_OBJECT_DELETED)         \
  X(IMAPICONAINER_SetSearchCriteria, MAPI_E_OBJECT_DELETED)  \
  X(IMAPIFOLDER_CreateFolder, MAPI_E_OBJECT_DELETED)         \
  X(IMAPIFOLDER_CreateMessage, MAPI_E_OBJECT_DELETED)        \
  X(IMAPIFOLDER_DeleteFolder, MAPI_E_OBJECT_DELETED)         \
  X(IMAPIFOLDER_DeleteMessages, MAPI_E_OBJECT_DELETED)       \
  X(IMAPIFOLDER_EmptyFolder, MAPI_E_OBJECT_DELETED)          \
  X(IMAPIFOLDER_GetMessageStatus, MAPI_E_OBJECT_DELETED)     \
  X(IMAPIFOLDER_SaveContentsSort, MAPI_E_OBJECT_DELETED)     \
  X(IMAPIFOLDER_SetMessageStatus, MAPI_E_OBJECT_DELETED)     \
  X(IMAPIFOLDER_SetReadFlags, MAPI_E_OBJECT_DELETED)         \
  X(IMAPITABLE_Advise, MAPI_E_OBJECT_DELETED)                \
  X(IMAPITABLE_CollapseRow, MAPI_E_OBJECT_DELETED)           \
  X(IMAPITABLE_CreateBookmark, MAPI_E_OBJECT_DELETED)        \
  X(IMAPITABLE_ExpandRow, MAPI_E_OBJECT_DELETED)             \
  X(IMAPITABLE_FindRow, MAPI_E_OBJECT_DELETED)               \
  X(IMAPITABLE_FreeBookmark, MAPI_E_OBJECT_DELETED)          \
  X(IMAPITABLE_GetLastError, MAPI_E_OBJECT_DELETED)          \
  X(IMAPITABLE_GetRowCount, MAPI_E_OBJECT_DELETED)           \
  X(IMAPITABLE_GetStatus, MAPI_E_OBJECT_DELETED)             \
  X(IMAPITABLE_QueryColumns, MAPI_E_OBJECT_DELETED)          \
  X(IMAPITABLE_QueryPosition, MAPI_E_OBJECT_DELETED)         \
  X(IMAPITABLE_QueryRows, MAPI_E_OBJECT_DELETED)             \
  X(IMAPITABLE_QuerySortOrder, MAPI_E_OBJECT_DELETED)        \
  X(IMAPITABLE_Restrict, MAPI_E_OBJECT_DELETED)              \
  X(IMAPITABLE_SeekRow, MAPI_E_OBJECT_DELETED)               \
  X(IMAPITABLE_SeekRowApprox, MAPI_E_OBJECT_DELETED)         \
  X(IMAPITABLE_SetColumns, MAPI_E_OBJECT_DELETED)            \
  X(IMAPITABLE_SortTable, MAPI_E_OBJECT_DELETED)             \
  X(IMAPITABLE_Unadvise, MAPI_E_OBJECT_DELETED)              \
  X(IMAPITABLE_WaitForCompletion, MAPI_E_OBJECT_DELETED)     \
  X(ISTREAM_Clone, 1)                                        \
  X(ISTREAM_Commit, 1)                                       \
  X(ISTREAM_LockRegion, 1)                                   \
  X(ISTREAM_Read, 1)                                         \
  X(ISTREAM_Write, 1)                                        \
  X(ISTREAM_Revert, 1)                                       \
  X(ISTREAM_Seek, 1)                                         \
  X(ISTREAM_SetSize, 1)                                      \
  X(ISTREAM_Stat, 1)                                         \
  X(ISTREAM_UnlockRegion, 1)                                 \
  X(ISTORAGE_Commit, 1)                                      \
  X(ISTORAGE_CreateStorage, 1)                               \
  X(ISTORAGE_CreateStream, 1)                                \
  X(ISTORAGE_DestroyElement, 1)                              \
  X(ISTORAGE_ENUMElements, 1)                                \
  X(ISTORAGE_OpenStorage, 1)                                 \
  X(ISTORAGE_OpenStream, 1)                                  \
  X(ISTORAGE_RenameElement, 1)                               \
  X(ISTORAGE_Revert, 1)                                      \
  X(ISTORAGE_SetClass, 1)                                    \
  X(ISTORAGE_SetElementTimes, 1)                             \
  X(ISTORAGE_SetStateBits, 1)                                \
  X(ISTORAGE_Stats, 1)                                       \
  X(IEnumSTATSTG_Next, 1)                                    \
  X(IEnumSTATSTG_Skip, 1)                                    \
  X(IEnumSTATSTG_Reset, 1)                                   \
  X(IEnumSTATSTG_Clone, 1)

class CServerClass : public std::enable_shared_from_this<CServerClass> {
 public:
  explicit CServerClass(std::int32_t kind) : kind(kind) {}
  virtual ~CServerClass() = default;
  CServerClass(const CServerClass&) = delete;
  CServerClass& operator=(const CServerClass&) = delete;

  // The class's constant name ("CServerClass" here, the interface name in
  // most derived classes).
  virtual const char* Name() const { return "CServerClass"; }
  std::string Description() const {
    std::lock_guard l(lock);
    return description;
  }
  // Releases what the object wraps; the registry calls it once when it
  // frees the handle. Exceptions are swallowed by the registry.
  virtual void Destroy() {}
  // The MAPI object the object wraps, handed over by CreateObject.
  virtual void SetMapiObject(IUnknown* object) { mapi_object = ComPtr<IUnknown>(object); }

#define ZEL_DECLARE_OBJECT_OPERATION(op, not_found)              \
  virtual HRESULT op(const zel::op::Request&, zel::op::Reply&) { \
    return not_found;                                            \
  }
  ZEL_SERVER_OBJECT_OPERATIONS(ZEL_DECLARE_OBJECT_OPERATION)
#undef ZEL_DECLARE_OBJECT_OPERATION

  // The copy operations take the destination, looked up without kind test.
  virtual HRESULT IMAPIFOLDER_CopyMessage(const zel::IMAPIFOLDER_CopyMessage::Request&,
                                          zel::IMAPIFOLDER_CopyMessage::Reply&, CServerClass& /*destination*/) {
    return MAPI_E_OBJECT_DELETED;
  }
  virtual HRESULT IMAPIFOLDER_CopyFolder(const zel::IMAPIFOLDER_CopyFolder::Request&,
                                         zel::IMAPIFOLDER_CopyFolder::Reply&, CServerClass& /*destination*/) {
    return MAPI_E_OBJECT_DELETED;
  }
  // Reads the notification queue of a session into `out` (count, length,
  // block); an object that is no session has nothing queued.
  virtual HRESULT ReadQueue(zel::GetNotifyQuere::Reply&) {
    return 0;
  }

  // Set at registration; the registry lock guards the writes.
  std::atomic<std::int32_t> handle{-1};
  std::atomic<std::int32_t> owner{-1};  // handle of the owning session; -1 for sessions
  std::weak_ptr<CServerClass> parent;   // the owning session; guarded by the registry lock
  std::weak_ptr<CServerClass> store;    // the store the object was reached through; guarded by lock
  CServerClasses* registry = nullptr;   // set at registration, never changed after
  const std::int32_t kind;
  // Milliseconds of the registry clock: set at registration, and for a
  // session by every poll of its queue.
  std::atomic<std::uint64_t> last_activity{0};

  // The object's own lock; taken before the registry lock, never after.
  mutable std::mutex lock;
  std::string description;       // guarded by lock
  std::string entry_id_text;     // guarded by lock; uppercase hex of PR_ENTRYID, set by Describe
  std::int32_t ref_count = 0;    // guarded by lock
  ComPtr<IUnknown> mapi_object;  // guarded by lock
};

}  // namespace vantrel::server
