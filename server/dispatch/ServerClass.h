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
#include <string>

#include "platform/base/HResult.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "protocol/NotifyQueue.h"
#include "protocol/ZelProtocol.h"
#include "server/dispatch/NotFoundResults.h"

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

// Operations of objects; an object without one answers its not-found
// result (NotFoundResults.h).
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
#define ZEL_SERVER_OBJECT_OPERATIONS(X) \
  X(Tarnix_Logon)                       \
  X(Tarnix_AdminLogon)                  \
  X(ZelLogon_QueryProfiles)             \
  X(ZelLogon_QueryInfoStores)           \
  X(ZelLogon_GetMsgStore)               \
  X(MAPIPROP_SaveChanges)               \
  X(MAPIPROP_GetPropList)               \
  X(MAPIPROP_GetProps)                  \
  X(MAPIPROP_DeleteProps)               \
  X(MAPIPROP_SetProps)                  \
  X(MAPIPROP_GetNamesFromID)            \
  X(MAPIPROP_GetIDsFromNames)           \
  X(IMAPIPROP_OpenProperty)             \
  X(MSGSTORE_Advise)                    \
  X(MSGSTORE_Unadvise)                  \
  X(MSGSTORE_CompareEntryIDs)           \
  X(MSGSTORE_GetReceiveFolder)          \
  X(MSGSTORE_GetReceiveFolderTable)     \
  X(MSGSTORE_OpenEntry)                 \
  X(MSGSTORE_SetReceiveFolder)          \
  X(MSGSTORE_Undadvise)                 \
  X(MSGSTORE_OpenOutbox)                \
  X(IMESSAGE_GetAttachmentTable)        \
  X(IMESSAGE_GetRecipientTable)         \
  X(IMESSAGE_CreateAttach)              \
  X(IMESSAGE_DeleteAttach)              \
  X(IMESSAGE_OpenAttach)                \
  X(IMESSAGE_ModifyRecipients)          \
  X(IMESSAGE_SetReadFlag)               \
  X(IMESSAGE_SubmitMessage)             \
  X(IMAPICONTAIENR_GetContentsTable)    \
  X(IMAPICONTAIENR_GetHierarchyTable)   \
  X(IMAPICONTAINER_GetSearchCriteria)   \
  X(IMAPICONTAIENR_OpenEntry)           \
  X(IMAPICONAINER_SetSearchCriteria)    \
  X(IMAPIFOLDER_CreateFolder)           \
  X(IMAPIFOLDER_CreateMessage)          \
  X(IMAPIFOLDER_DeleteFolder)           \
  X(IMAPIFOLDER_DeleteMessages)         \
  X(IMAPIFOLDER_EmptyFolder)            \
  X(IMAPIFOLDER_GetMessageStatus)       \
  X(IMAPIFOLDER_SaveContentsSort)       \
  X(IMAPIFOLDER_SetMessageStatus)       \
  X(IMAPIFOLDER_SetReadFlags)           \
  X(IMAPITABLE_Advise)                  \
  X(IMAPITABLE_CollapseRow)             \
  X(IMAPITABLE_CreateBookmark)          \
  X(IMAPITABLE_ExpandRow)               \
  X(IMAPITABLE_FindRow)                 \
  X(IMAPITABLE_FreeBookmark)            \
  X(IMAPITABLE_GetLastError)            \
  X(IMAPITABLE_GetRowCount)             \
  X(IMAPITABLE_GetStatus)               \
  X(IMAPITABLE_QueryColumns)            \
  X(IMAPITABLE_QueryPosition)           \
  X(IMAPITABLE_QueryRows)               \
  X(IMAPITABLE_QuerySortOrder)          \
  X(IMAPITABLE_Restrict)                \
  X(IMAPITABLE_SeekRow)                 \
  X(IMAPITABLE_SeekRowApprox)           \
  X(IMAPITABLE_SetColumns)              \
  X(IMAPITABLE_SortTable)               \
  X(IMAPITABLE_Unadvise)                \
  X(IMAPITABLE_WaitForCompletion)       \
  X(ISTREAM_Clone)                      \
  X(ISTREAM_Commit)                     \
  X(ISTREAM_LockRegion)                 \
  X(ISTREAM_Write)                      \
  X(ISTREAM_Revert)                     \
  X(ISTREAM_Seek)                       \
  X(ISTREAM_SetSize)                    \
  X(ISTREAM_Stat)                       \
  X(ISTREAM_UnlockRegion)               \
  X(ISTORAGE_Commit)                    \
  X(ISTORAGE_CreateStorage)             \
  X(ISTORAGE_CreateStream)              \
  X(ISTORAGE_DestroyElement)            \
  X(ISTORAGE_ENUMElements)              \
  X(ISTORAGE_OpenStorage)               \
  X(ISTORAGE_OpenStream)                \
  X(ISTORAGE_RenameElement)             \
  X(ISTORAGE_Revert)                    \
  X(ISTORAGE_SetClass)                  \
  X(ISTORAGE_SetElementTimes)           \
  X(ISTORAGE_SetStateBits)              \
  X(ISTORAGE_Stats)                     \
  X(IEnumSTATSTG_Next)                  \
  X(IEnumSTATSTG_Skip)                  \
  X(IEnumSTATSTG_Reset)                 \
  X(IEnumSTATSTG_Clone)

class CServerClass : public std::enable_shared_from_this<CServerClass> {
 public:
  explicit CServerClass(std::int32_t kind) : kind(kind) {}
  virtual ~CServerClass() = default;
  CServerClass(const CServerClass&) = delete;
  CServerClass& operator=(const CServerClass&) = delete;

  // The class's constant name ("CServerClass" here, the interface name in
  // most derived classes).
  virtual const char* Name() const { return "CServerClass"; }
  std::string Description() const EXCLUDES(lock) {
    MutexLock l(lock);
    return description;
  }
  // Releases what the object wraps; the registry calls it once when it
  // frees the handle. Exceptions are swallowed by the registry.
  virtual void Destroy() {}
  // The MAPI object the object wraps, handed over by CreateObject.
  virtual void SetMapiObject(IUnknown* object) EXCLUDES(lock) {
    MutexLock l(lock);
    mapi_object = ComPtr<IUnknown>(object);
  }

#define ZEL_DECLARE_OBJECT_OPERATION(op)                         \
  virtual HRESULT op(const zel::op::Request&, zel::op::Reply&) { \
    return NotFoundResult<zel::op>();                            \
  }
  ZEL_SERVER_OBJECT_OPERATIONS(ZEL_DECLARE_OBJECT_OPERATION)
#undef ZEL_DECLARE_OBJECT_OPERATION

  // GetLastError is looked up without kind test, and every object it finds
  // answers MAPI_E_NO_SUPPORT; that is its answer, not its not-found result
  // (1, when the handle names no object).
  virtual HRESULT MAPIPROP_GetLastError(const zel::MAPIPROP_GetLastError::Request&,
                                        zel::MAPIPROP_GetLastError::Reply&) {
    return MAPI_E_NO_SUPPORT;
  }
  // The copy operations take the destination, looked up without kind test.
  virtual HRESULT IMAPIFOLDER_CopyMessage(const zel::IMAPIFOLDER_CopyMessage::Request&,
                                          zel::IMAPIFOLDER_CopyMessage::Reply&, CServerClass& /*destination*/) {
    return NotFoundResult<zel::IMAPIFOLDER_CopyMessage>();
  }
  virtual HRESULT IMAPIFOLDER_CopyFolder(const zel::IMAPIFOLDER_CopyFolder::Request&,
                                         zel::IMAPIFOLDER_CopyFolder::Reply&, CServerClass& /*destination*/) {
    return NotFoundResult<zel::IMAPIFOLDER_CopyFolder>();
  }
  // ISTREAM_Read: up to `want` bytes into `into`, which has room for them
  // (the reply's own bytes, so the answer is not copied again), the count
  // read into `*got`.
  virtual HRESULT ISTREAM_Read(std::uint8_t* /*into*/, std::uint32_t /*want*/, std::uint32_t* /*got*/) {
    return NotFoundResult<zel::ISTREAM_Read>();
  }
  // The notification queue of a logon session; other objects have none.
  virtual zel::CNotifyQueue* NotifyQueue() {
    return nullptr;
  }

  // Set at registration; the registry lock guards the writes.
  std::atomic<std::int32_t> handle{-1};
  std::atomic<std::int32_t> owner{-1};  // handle of the owning session; -1 for sessions
  std::weak_ptr<CServerClass> parent;   // the owning session; guarded by the registry lock
  std::weak_ptr<CServerClass> store GUARDED_BY(lock);  // the store the object was reached through
  CServerClasses* registry = nullptr;   // set at registration, never changed after
  const std::int32_t kind;
  // Milliseconds of the registry clock: set at registration, and for a
  // session by every poll of its queue.
  std::atomic<std::uint64_t> last_activity{0};

  // The object's own lock; taken before the registry lock, never after.
  mutable Mutex lock;
  std::string description GUARDED_BY(lock);
  std::string entry_id_text GUARDED_BY(lock);  // uppercase hex of PR_ENTRYID, set by Describe
  std::int32_t ref_count GUARDED_BY(lock) = 0;
  ComPtr<IUnknown> mapi_object GUARDED_BY(lock);
};

}  // namespace vantrel::server
