#include "server/dispatch/ServerDispatch.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/base/ByteCoder.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

std::string HexLower(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (auto b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

const char* ObjectKindName(std::int32_t code) {
  switch (code) {
    case kMapiTable:
      return "MAPI_TABLE";
    case kMapiStream:
      return "MAPI_STREAM";
    case kMapiStreamDocfile:
      return "MAPI_STREAMDOCFILE";
    case kMapiStorage:
      return "MAPI_STORAGE";
    default:
      return "unknown";
  }
}

std::uint32_t High(std::uint64_t v) {
  return static_cast<std::uint32_t>(v >> 32);
}
std::uint32_t Low(std::uint64_t v) {
  return static_cast<std::uint32_t>(v);
}

// The object trace line: the text, the handle and the description of the
// object it names (found without kind test).
void TraceObjectLine(std::int32_t handle, const CServerClass* object, const std::string& text) {
  if (object)
    ServerTrace("%s ; %d %s", text.c_str(), handle, object->Description().c_str());
  else
    ServerTrace("%s ; %d", text.c_str(), handle);
}

void ObjectTrace(CServerClasses& reg, std::int32_t handle, const std::string& text) {
  auto object = reg.Lookup(handle, kAnyKind);
  TraceObjectLine(handle, object.get(), text);
}

HRESULT ResultTrace(HRESULT status) {
  if (status < 0 && TraceAttached())
    ServerTrace("Result = %x (%s)", static_cast<unsigned>(status), MapiErrorName(status).c_str());
  return status;
}

// Step 7 of the frame: no exception leaves a handler.
template <class F>
HRESULT Guarded(const char* name, F&& body) {
  try {
    return body();
  } catch (...) {
    try {
      ServerTrace("Error in %s", name);
    } catch (...) {
    }
    return MAPI_E_NO_SUPPORT;
  }
}

// The traces of one object operation: the text of the entry line (the
// object trace line) and of the line after the call, each a callable or
// nullptr for none. The texts are made only while a monitor listens.
template <class Entry, class After>
struct FrameOptions {
  Entry entry;
  After after;
  bool result_trace;  // trace negative statuses
};

template <class Entry, class After = std::nullptr_t>
FrameOptions<Entry, After> Options(Entry entry, After after = nullptr, bool result_trace = true) {
  return {std::move(entry), std::move(after), result_trace};
}

// The operation frame around one object operation. One registry lookup a
// call: the entry trace names the object found without kind test, and the
// kind test is made on that same object.
template <class Op, class Entry, class After, class Call>
HRESULT ObjectFrame(CServerClasses& reg, std::int32_t handle, std::int32_t kind,
                    const FrameOptions<Entry, After>& options, Call&& call) {
  return Guarded(Op::kName, [&]() -> HRESULT {
    std::shared_ptr<CServerClass> object;
    if constexpr (std::is_null_pointer_v<Entry>) {
      object = reg.Lookup(handle, kind);
    } else {
      object = reg.Lookup(handle, kAnyKind);
      if (TraceAttached()) TraceObjectLine(handle, object.get(), options.entry());
      object = reg.OfKind(handle, std::move(object), kind);
    }
    if (!object) return NotFoundResult<Op>();
    HRESULT status = call(*object);
    if (options.result_trace) ResultTrace(status);
    if constexpr (!std::is_null_pointer_v<After>) {
      if (TraceAttached()) ObjectTrace(reg, handle, options.after());
    }
    return status;
  });
}

// A byte array of a reply written where it goes in the stub data: the
// counts before it are written with the count left open, the bytes are
// appended (or read into Room) and Finish sets the count. With `count_first`
// a long output that repeats the count (cbRead) comes first.
class ReplyBytes {
 public:
  ReplyBytes(rpc::NdrWriter& w, bool conformant, std::uint32_t max, bool count_first) : w_(w) {
    if (count_first) {
      w_.I32(0);
      lead_ = w_.size() - 4;
    }
    if (conformant) w_.U32(max);
    w_.U32(0);  // offset
    w_.U32(0);
    count_ = w_.size() - 4;
    start_ = w_.size();
  }
  ReplyBytes(const ReplyBytes&) = delete;
  ReplyBytes& operator=(const ReplyBytes&) = delete;
  // Room for `n` bytes right after the counts; valid until the writer grows.
  std::uint8_t* Room(std::uint32_t n) {
    w_.mutable_data().resize(start_ + n);
    return w_.mutable_data().data() + start_;
  }
  // Keeps `n` bytes (fewer than written or made room for) and sets the counts.
  void Finish(std::uint32_t n) {
    auto& b = w_.mutable_data();
    n = static_cast<std::uint32_t>(std::min<std::size_t>(n, b.size() - start_));
    b.resize(start_ + n);
    StoreLe32(b.data() + count_, n);
    if (lead_ != kNone) StoreLe32(b.data() + lead_, n);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};
  rpc::NdrWriter& w_;
  std::size_t lead_ = kNone, count_ = 0, start_ = 0;
};

}  // namespace

#define TEXT(...) [&] { return FormatText(__VA_ARGS__); }
#define HANDLER(Op)                                                                  \
  template <>                                                                        \
  void CServerDispatch::Handle<zel::Op>([[maybe_unused]] const zel::Op::Request& in, \
                                        [[maybe_unused]] zel::Op::Reply& out)
// The common case: one object operation of the same name.
#define OBJECT_OP(Op, handle, kind, ...)                                               \
  HANDLER(Op) {                                                                        \
    out.result = ObjectFrame<zel::Op>(reg_, in.handle, kind, Options(__VA_ARGS__),     \
                                      [&](CServerClass& o) { return o.Op(in, out); }); \
  }

CServerDispatch::CServerDispatch(CServerClasses& registry, ServerHooks hooks)
    : reg_(registry), hooks_(std::move(hooks)) {}

void CServerDispatch::LogonOutcome(bool failed, bool succeeded) {
  CLogonThrottle* throttle = hooks_.throttle;
  if (!throttle) return;
  const std::string& peer = CurrentCall().peer;
  if (succeeded) throttle->Succeeded(peer);
  if (!failed) return;
  std::uint64_t delay = throttle->Failed(peer);
  if (!delay) return;
  ServerLog("Failed logon from %s answered after %llu ms\n", peer.empty() ? "-" : peer.c_str(),
            static_cast<unsigned long long>(delay));
  throttle->Wait(delay);  // no lock is held here
}

// ---- delivery, queue, handles, logon, buffers ----

HANDLER(DeliverMail) {
  out.result = MAPI_E_NO_SUPPORT;
}

HANDLER(GetNotifyQuere) {
  try {
    auto object = reg_.Lookup(in.hSession, kAnyKind);
    if (!object) {
      out.result = 0;
      return;
    }
    bool session = object->kind == kZelLogon;
    if (session) reg_.Touch(*object);
    out.result = reg_.ReadQueue(*object, out);
    if (session) reg_.Touch(*object);
  } catch (...) {
    out.result = E_ACCESSDENIED;
  }
}

HANDLER(FreeHObject) {
  out.result = Guarded(zel::FreeHObject::kName, [&] {
    ServerTrace("FreeHObject(%d)", in.hObject);
    reg_.Free(in.hObject);
    return 0;
  });
}

HANDLER(Tarnix_Logon) {
  bool failed = false;
  out.result = Guarded(zel::Tarnix_Logon::kName, [&]() -> HRESULT {
    ServerTrace("ZelLogon.Logon(%s,%s,%s,%s)", in.profile.c_str(), in.storeName.c_str(), in.userName.c_str(),
                in.password.c_str());
    auto session = hooks_.make_session ? hooks_.make_session() : nullptr;
    if (!session) return NotFoundResult<zel::Tarnix_Logon>();
    {
      MutexLock l(session->lock);
      ++session->ref_count;
    }
    std::int32_t h = reg_.Register(session, -1, nullptr);
    if (h < 0) return ResultTrace(MAPI_E_NOT_ENOUGH_MEMORY);  // the caller has its most sessions
    HRESULT status = session->Tarnix_Logon(in, out);
    if (status >= 0) return h;
    // Nobody was given the handle of a failed logon's session.
    reg_.EndSession(h);
    failed = true;
    return ResultTrace(status);
  });
  LogonOutcome(failed, out.result > 0);
}

HANDLER(ZelLogon_AddRef) {
  out.result = Guarded(zel::ZelLogon_AddRef::kName, [&]() -> HRESULT {
    ServerTrace("ZelLogon.AddRef");
    auto session = reg_.Lookup(in.hSession, kZelLogon);
    if (!session) return NotFoundResult<zel::ZelLogon_AddRef>();
    MutexLock l(session->lock);
    return ++session->ref_count;
  });
}

HANDLER(ZelLogon_Release) {
  // No result, and no exception frame of its own; nothing may leave anyway.
  try {
    ServerTrace("ZelLogon.Release");
    auto session = reg_.Lookup(in.hSession, kZelLogon);
    if (!session) return;
    // The count stops at zero and a Release never frees the session: the
    // client still holds the handle until FreeHObject, and the idle sweep
    // ends a session nobody frees.
    MutexLock l(session->lock);
    if (session->ref_count > 0) --session->ref_count;
  } catch (...) {
  }
}

HANDLER(GetBufferSize) {
  out.result = Guarded(zel::GetBufferSize::kName, [&] {
    ServerTrace("GetBufferSize(%d)", in.hBuffer);
    return reg_.BlockSize(in.hBuffer);
  });
}

// The reads below write their bytes straight into the reply's stub data
// (CServerDispatch::ReadInPlace); they make no result blocks or objects, so
// no cap refuses them.

void CServerDispatch::ReadInPlace(const zel::ReadBuffer::Request& in, rpc::NdrWriter& out) {
  // cbRead, the varying array (offset, count, bytes), the result.
  ReplyBytes area(out, false, 0, true);
  std::int32_t n = Guarded(zel::ReadBuffer::kName, [&] {
    ServerTrace("ReadBuffer(%d)", in.hBuffer);
    return reg_.AppendBlock(in.hBuffer, kReadBufferMax, out.mutable_data());
  });
  area.Finish(n < 0 ? 0 : static_cast<std::uint32_t>(n));
  out.I32(n);
}

HANDLER(FreeBuffer) {
  out.result = Guarded(zel::FreeBuffer::kName, [&] {
    ServerTrace("FreeBuffer(%d)", in.hBuffer);
    return reg_.FreeBlock(in.hBuffer);
  });
}

HANDLER(Tarnix_AdminLogon) {
  bool failed = false;
  out.result = Guarded(zel::Tarnix_AdminLogon::kName, [&]() -> HRESULT {
    ServerTrace("AdminLogon(%s,%s)", in.userName.c_str(), in.reserved.c_str());
    auto session = hooks_.make_session ? hooks_.make_session() : nullptr;
    if (!session) return NotFoundResult<zel::Tarnix_AdminLogon>();
    if (session->Tarnix_AdminLogon(in, out) != 0) {
      session->Destroy();
      failed = true;
      return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
    }
    std::int32_t h = reg_.Register(session, -1, nullptr);
    if (h < 0) session->Destroy();
    return h < 0 ? MAPI_E_NOT_ENOUGH_MEMORY : h;
  });
  LogonOutcome(failed, out.result > 0);
}

// Session operations: plain trace lines, kind 0, 1 when no session.
HANDLER(ZelLogon_QueryProfiles) {
  out.result = Guarded(zel::ZelLogon_QueryProfiles::kName, [&]() -> HRESULT {
    ServerTrace("ZelLogon.QueryProfiles(%d)", in.hSession);
    auto session = reg_.Lookup(in.hSession, kZelLogon);
    if (!session) return NotFoundResult<zel::ZelLogon_QueryProfiles>();
    return ResultTrace(session->ZelLogon_QueryProfiles(in, out));
  });
}

HANDLER(ZelLogon_QueryInfoStores) {
  out.result = Guarded(zel::ZelLogon_QueryInfoStores::kName, [&]() -> HRESULT {
    ServerTrace("ZelLogon.QueryInfoStores(%s)", in.profileName.c_str());
    auto session = reg_.Lookup(in.hSession, kZelLogon);
    if (!session) return NotFoundResult<zel::ZelLogon_QueryInfoStores>();
    return ResultTrace(session->ZelLogon_QueryInfoStores(in, out));
  });
}

HANDLER(ZelLogon_GetMsgStore) {
  out.result = Guarded(zel::ZelLogon_GetMsgStore::kName, [&]() -> HRESULT {
    ServerTrace("ZelLogon.GetMsgStore(%d)", in.hSession);
    auto session = reg_.Lookup(in.hSession, kZelLogon);
    if (!session) return NotFoundResult<zel::ZelLogon_GetMsgStore>();
    return ResultTrace(session->ZelLogon_GetMsgStore(in, out));
  });
}

// ---- property objects ----

OBJECT_OP(MAPIPROP_GetLastError, hObject, kAnyKind, TEXT("IMAPIProp.GetLastError(%d)", in.ulFlags))
OBJECT_OP(MAPIPROP_SaveChanges, hObject, kIMapiProp, TEXT("IMAPIProp.SaveChanges(%x)", in.ulFlags))
OBJECT_OP(MAPIPROP_GetPropList, hObject, kIMapiProp, TEXT("IMAPIProp.GetPropList(%d)", in.ulFlags))
OBJECT_OP(MAPIPROP_GetProps, hObject, kIMapiProp, TEXT("IMAPIProp.GetProps"))
OBJECT_OP(MAPIPROP_DeleteProps, hObject, kIMapiProp,
          TEXT("IMAPIProp.DeleteProps(%d)", static_cast<int>(in.tags.size())))
OBJECT_OP(MAPIPROP_SetProps, hObject, kIMapiProp, TEXT("IMAPIProp.SetProps(%d)", in.cValues))
OBJECT_OP(MAPIPROP_GetNamesFromID, hObject, kIMapiProp, TEXT("IMAPIProp.GetNamesFromID"))
OBJECT_OP(MAPIPROP_GetIDsFromNames, hObject, kIMapiProp, TEXT("IMAPIProp.GetIDsFromNames"))
OBJECT_OP(IMAPIPROP_OpenProperty, hObject, kIMapiProp, nullptr,
          TEXT("IMAPIProp.OpenProperty(%s) = %d typ=%s", PropTagName(static_cast<ULONG>(in.ulPropTag)).c_str(),
               out.hNewObject, ObjectKindName(out.ulObjectKind)))

// ---- message store ----

// The advise operations name the session whose queue gets the
// notifications: a session the caller may not use is taken as one that
// does not exist (its notifications go nowhere).
HANDLER(MSGSTORE_Advise) {
  zel::MSGSTORE_Advise::Request request = in;
  if (!reg_.OwnSession(request.hSession)) request.hSession = 0;
  out.result = ObjectFrame<zel::MSGSTORE_Advise>(reg_, in.hStore, kIMsgStore, Options(TEXT("IMsgStore.Advise")),
                                                 [&](CServerClass& o) { return o.MSGSTORE_Advise(request, out); });
}
OBJECT_OP(MSGSTORE_Unadvise, hStore, kIMsgStore, TEXT("IMsgStore.Unadvise(%d)", in.ulConnection))
OBJECT_OP(MSGSTORE_CompareEntryIDs, hStore, kIMsgStore,
          TEXT("IMsgStore.CompareEntryIDs(%s.%s)", HexLower(in.entryID1).c_str(), HexLower(in.entryID2).c_str()))
OBJECT_OP(MSGSTORE_GetReceiveFolder, hStore, kIMsgStore,
          TEXT("IMsgStore.GetReceiveFolder(%s)", in.messageClass.c_str()))
OBJECT_OP(MSGSTORE_GetReceiveFolderTable, hStore, kIMsgStore, nullptr,
          TEXT("IMsgStore.GetReceiveFolderTable = %d", out.hTable))
OBJECT_OP(MSGSTORE_OpenEntry, hStore, kIMsgStore, nullptr,
          TEXT("IMsgStore.OpenEntry(%s,guid,%x) = %d, typ=%s", HexLower(in.entryID).c_str(), in.ulFlags, out.hNewObject,
               ObjectKindName(out.ulObjType)))
OBJECT_OP(MSGSTORE_SetReceiveFolder, hStore, kIMsgStore,
          TEXT("IMsgStore.SetReceiveFolder(%s,%s)", in.messageClass.c_str(), HexLower(in.entryID).c_str()))
OBJECT_OP(MSGSTORE_Undadvise, hStore, kIMsgStore, TEXT("IMsgStore.Unadvise(%d)", in.ulConnection))
OBJECT_OP(MSGSTORE_OpenOutbox, hStore, kIMsgStore, TEXT("IMsgStore.OpenOutbox"), nullptr, false)

// ---- messages ----

OBJECT_OP(IMESSAGE_GetAttachmentTable, hMessage, kIMessage, nullptr,
          TEXT("IMessage.GetAttachmentTable = %d", out.hTable))
OBJECT_OP(IMESSAGE_GetRecipientTable, hMessage, kIMessage, nullptr, TEXT("IMessage.GetRecipientTable = %d", out.hTable))
OBJECT_OP(IMESSAGE_CreateAttach, hMessage, kIMessage, nullptr, TEXT("IMessage.CreateAttach = %d", out.hAttach))
OBJECT_OP(IMESSAGE_DeleteAttach, hMessage, kIMessage, TEXT("IMessage.DeleteAttach(%d)", in.ulAttachmentNum))
OBJECT_OP(IMESSAGE_OpenAttach, hMessage, kIMessage, nullptr,
          TEXT("IMessage.OpenAttach(%d) = %d", in.ulAttachmentNum, out.hAttach))
OBJECT_OP(IMESSAGE_ModifyRecipients, hMessage, kIMessage, TEXT("IMessage.ModifyRecipients(%x)", in.ulFlags))
OBJECT_OP(IMESSAGE_SetReadFlag, hMessage, kIMessage, TEXT("IMessage.SetReadFlag(%x)", in.ulFlags))
OBJECT_OP(IMESSAGE_SubmitMessage, hMessage, kIMessage, TEXT("IMessage.SubmitMessage(%x)", in.ulFlags))

// ---- containers ----

OBJECT_OP(IMAPICONTAIENR_GetContentsTable, hContainer, kIMapiContainer, nullptr,
          TEXT("IMAPIContainer.GetContentsTable = %d", out.hTable))
OBJECT_OP(IMAPICONTAIENR_GetHierarchyTable, hContainer, kIMapiContainer, nullptr,
          TEXT("IMAPIContainer.GetHierachyTable = %d", out.hTable))
OBJECT_OP(IMAPICONTAINER_GetSearchCriteria, hContainer, kIMapiContainer, TEXT("IMAPIContainer.GetSearchCriteria"))
OBJECT_OP(IMAPICONTAIENR_OpenEntry, hContainer, kIMapiContainer, nullptr,
          TEXT("IMAPIContainer.OpenEntry(%s,guid,%x) = %d, typ=%s", HexLower(in.entryID).c_str(), in.ulFlags,
               out.hNewObject, ObjectKindName(out.ulObjType)))
OBJECT_OP(IMAPICONAINER_SetSearchCriteria, hContainer, kIMapiContainer, TEXT("IMAPIContainer.SetSearchCriteria"))

// ---- folders ----

OBJECT_OP(IMAPIFOLDER_CreateFolder, hFolder, kIMAPIFolder, nullptr,
          TEXT("IMAPIFolder.CreateFolder(%d,%s,%s) = %d", in.ulFolderType, in.folderName.c_str(),
               in.folderComment.c_str(), out.hNewFolder))
OBJECT_OP(IMAPIFOLDER_CreateMessage, hFolder, kIMAPIFolder, nullptr,
          TEXT("IMAPIFolder.CreateMessage = %d", out.hMessage), false)
OBJECT_OP(IMAPIFOLDER_DeleteFolder, hFolder, kIMAPIFolder,
          TEXT("IMAPIFolder.DeleteFolder(%s,%x,%x,%x)", HexLower(in.entryID).c_str(), in.ulUIParam, in.progress,
               in.ulFlags))
OBJECT_OP(IMAPIFOLDER_DeleteMessages, hFolder, kIMAPIFolder, TEXT("IMAPIFolder.DeleteMessages"))
OBJECT_OP(IMAPIFOLDER_EmptyFolder, hFolder, kIMAPIFolder, TEXT("IMAPIFolder.EmptyFolder"))
OBJECT_OP(IMAPIFOLDER_GetMessageStatus, hFolder, kIMAPIFolder,
          TEXT("IMAPIFolder.GetMessageStatus(%s,%x)", HexLower(in.entryID).c_str(), in.ulFlags))
OBJECT_OP(IMAPIFOLDER_SaveContentsSort, hFolder, kIMAPIFolder, TEXT("IMAPIFolder.SaveContentsSort"))
OBJECT_OP(IMAPIFOLDER_SetReadFlags, hFolder, kIMAPIFolder, TEXT("IMAPIFolder.SetReadFlags"))

HANDLER(IMAPIFOLDER_SetMessageStatus) {
  out.result = ObjectFrame<zel::IMAPIFOLDER_SetMessageStatus>(
      reg_, in.hFolder, kIMAPIFolder,
      Options(TEXT("IMAPIFolder.SetMessageStatus(%s,%x,%x)", HexLower(in.entryID).c_str(), in.ulNewStatus,
                   in.ulNewStatusMask)),
      [&](CServerClass& o) { return o.IMAPIFOLDER_SetMessageStatus(in, out); });
  out.ulOldStatus = 0;  // the folder is asked for no old status
}

// Two lookups: the folder, and the destination without kind test.
template <class Op, class Call>
HRESULT CopyFrame(CServerClasses& reg, std::int32_t folder, std::int32_t destination, Call&& call) {
  return Guarded(Op::kName, [&]() -> HRESULT {
    auto source = reg.Lookup(folder, kIMAPIFolder);
    auto target = reg.Lookup(destination, kAnyKind);
    if (!source || !target) return NotFoundResult<Op>();
    return ResultTrace(call(*source, *target));
  });
}

HANDLER(IMAPIFOLDER_CopyMessage) {
  out.result = CopyFrame<zel::IMAPIFOLDER_CopyMessage>(
      reg_, in.hFolder, in.hDestination,
      [&](CServerClass& s, CServerClass& d) { return s.IMAPIFOLDER_CopyMessage(in, out, d); });
}

HANDLER(IMAPIFOLDER_CopyFolder) {
  out.result = CopyFrame<zel::IMAPIFOLDER_CopyFolder>(
      reg_, in.hFolder, in.hDestination,
      [&](CServerClass& s, CServerClass& d) { return s.IMAPIFOLDER_CopyFolder(in, out, d); });
}

// ---- tables ----

HANDLER(IMAPITABLE_Abort) {
  out.result = Guarded(zel::IMAPITABLE_Abort::kName, [&] {
    ObjectTrace(reg_, in.hTable, "IMAPITable.Abort");
    return 0;
  });
}

HANDLER(IMAPITABLE_Advise) {
  zel::IMAPITABLE_Advise::Request request = in;
  if (!reg_.OwnSession(request.hSession)) request.hSession = 0;
  out.result = ObjectFrame<zel::IMAPITABLE_Advise>(reg_, in.hTable, kIMAPITable, Options(TEXT("IMAPITable.Advise")),
                                                   [&](CServerClass& o) { return o.IMAPITABLE_Advise(request, out); });
}
OBJECT_OP(IMAPITABLE_CollapseRow, hTable, kIMAPITable, TEXT("IMAPITable.CollapseRow"))
OBJECT_OP(IMAPITABLE_CreateBookmark, hTable, kIMAPITable, TEXT("IMAPITable.CreateBookmark"))
OBJECT_OP(IMAPITABLE_ExpandRow, hTable, kIMAPITable, TEXT("IMAPITable.ExpandRow"))
OBJECT_OP(IMAPITABLE_FindRow, hTable, kIMAPITable, TEXT("IMAPITable.FindRow"))
OBJECT_OP(IMAPITABLE_FreeBookmark, hTable, kIMAPITable, TEXT("IMAPITable.FreeBookmark(%d)", in.bookmark))
OBJECT_OP(IMAPITABLE_GetLastError, hTable, kIMAPITable,
          TEXT("IMAPITable.GetLastError(%x)", static_cast<unsigned>(in.hResult)))
OBJECT_OP(IMAPITABLE_GetRowCount, hTable, kIMAPITable, nullptr, TEXT("IMAPITable.GetRowCount result = "))
OBJECT_OP(IMAPITABLE_GetStatus, hTable, kIMAPITable, TEXT("IMAPITable.GetStatus"))
OBJECT_OP(IMAPITABLE_QueryColumns, hTable, kIMAPITable, TEXT("IMAPITable.QueryColumns"))
OBJECT_OP(IMAPITABLE_QueryPosition, hTable, kIMAPITable, TEXT("IMAPITable.QueryPosition"))
OBJECT_OP(IMAPITABLE_QueryRows, hTable, kIMAPITable, TEXT("IMAPITable.QueryRows"))
OBJECT_OP(IMAPITABLE_QuerySortOrder, hTable, kIMAPITable, TEXT("IMAPITable.QuerySortOrder"))
OBJECT_OP(IMAPITABLE_Restrict, hTable, kIMAPITable, TEXT("IMAPITable.Restrict"))
OBJECT_OP(IMAPITABLE_SeekRow, hTable, kIMAPITable, TEXT("IMAPITable.SeekRow(%d,%d)", in.bkOrigin, in.lRowCount))
OBJECT_OP(IMAPITABLE_SeekRowApprox, hTable, kIMAPITable,
          TEXT("IMAPITable.SeekRowApprox(%d,%d)", in.ulNumerator, in.ulDenominator))
OBJECT_OP(IMAPITABLE_SetColumns, hTable, kIMAPITable, TEXT("IMAPITable.SetColumns"))
OBJECT_OP(IMAPITABLE_SortTable, hTable, kIMAPITable, TEXT("IMAPITable.SortTable"))
OBJECT_OP(IMAPITABLE_Unadvise, hTable, kIMAPITable, TEXT("IMAPITable.Unadvise(%d)", in.ulConnection))
OBJECT_OP(IMAPITABLE_WaitForCompletion, hTable, kIMAPITable, TEXT("IMAPITable.WaitForCompletion"))

// ---- streams, storages, enumerators: no kind test, 1 when no object ----

HANDLER(ISTREAM_Clone) {
  // The stream gets no place for the new handle: the clone stays
  // registered, unreported, and the answer is always MAPI_E_NO_SUPPORT.
  Guarded(zel::ISTREAM_Clone::kName, [&]() -> HRESULT {
    ObjectTrace(reg_, in.hStream, "IStream.Clone");
    if (auto o = reg_.Lookup(in.hStream, kAnyKind)) {
      zel::ISTREAM_Clone::Reply ignored;
      o->ISTREAM_Clone(in, ignored);
    }
    return 0;
  });
  out.hClone = 0;
  out.result = MAPI_E_NO_SUPPORT;
}

OBJECT_OP(ISTREAM_Commit, hStream, kAnyKind, TEXT("IStream.Commit(%d)", in.grfCommitFlags))
OBJECT_OP(ISTREAM_LockRegion, hStream, kAnyKind,
          TEXT("IStream.LockRegion(%x%x,%x%x,%d", High(in.libOffset), Low(in.libOffset), High(in.cb), Low(in.cb),
               in.dwLockType))
OBJECT_OP(ISTREAM_Write, hStream, kAnyKind, TEXT("IStream.Write(%d)", static_cast<int>(in.data.size())))
OBJECT_OP(ISTREAM_Revert, hStream, kAnyKind, TEXT("IStream.Revert"))
OBJECT_OP(ISTREAM_Seek, hStream, kAnyKind,
          TEXT("IStream.Seek(%x%x,%d", High(in.dlibMove), Low(in.dlibMove), in.dwOrigin))
OBJECT_OP(ISTREAM_SetSize, hStream, kAnyKind, TEXT("IStream.SetSize(%x%x)", High(in.libNewSize), Low(in.libNewSize)))
OBJECT_OP(ISTREAM_Stat, hStream, kAnyKind, TEXT("IStream.Stat(%d)", in.grfStatFlag))
OBJECT_OP(ISTREAM_UnlockRegion, hStream, kAnyKind,
          TEXT("IStream.UnlockRegion(%x%x,%x%x,%d)", High(in.libOffset), Low(in.libOffset), High(in.cb), Low(in.cb),
               in.dwLockType))

void CServerDispatch::ReadInPlace(const zel::ISTREAM_Read::Request& in, rpc::NdrWriter& out) {
  // The conformant varying array (at most the caller's buffer, never more
  // than the wire's largest read), cbRead, the result.
  const std::uint32_t max = in.cb < 0 ? 0 : static_cast<std::uint32_t>(in.cb);
  const std::uint32_t want = std::min(max, zel::wire::kReadAreaSize);
  ReplyBytes area(out, true, max, false);
  std::uint8_t* into = area.Room(want);
  std::uint32_t got = 0;
  HRESULT status =
      ObjectFrame<zel::ISTREAM_Read>(reg_, in.hStream, kAnyKind, Options(TEXT("IStream.Read(%d)", in.cb)),
                                     [&](CServerClass& o) { return o.ISTREAM_Read(into, want, &got); });
  got = std::min(got, want);
  area.Finish(got);
  out.I32(static_cast<std::int32_t>(got));
  out.I32(status);
}

OBJECT_OP(ISTORAGE_Commit, hStorage, kAnyKind, TEXT("IStorage::Commit(%d)", in.grfCommitFlags))
OBJECT_OP(ISTORAGE_CreateStorage, hStorage, kAnyKind,
          TEXT("IStorage::CreateStorage(%s,%x,...)", in.name.c_str(), in.grfMode))
OBJECT_OP(ISTORAGE_CreateStream, hStorage, kAnyKind, TEXT("IStorage::CreateStream(%s,%x)", in.name.c_str(), in.grfMode))
OBJECT_OP(ISTORAGE_DestroyElement, hStorage, kAnyKind, TEXT("IStorage::DestroyElement(%s)", in.name.c_str()))
OBJECT_OP(ISTORAGE_ENUMElements, hStorage, kAnyKind, TEXT("IStorage::EnumElements()"))
OBJECT_OP(ISTORAGE_OpenStorage, hStorage, kAnyKind, TEXT("IStorage::OpenStorage(%s,%x)", in.name.c_str(), in.grfMode))
OBJECT_OP(ISTORAGE_OpenStream, hStorage, kAnyKind, TEXT("IStorage::OpenStream(%s,%x)", in.name.c_str(), in.grfMode))
OBJECT_OP(ISTORAGE_RenameElement, hStorage, kAnyKind,
          TEXT("IStorage::RenameElement(%s,%s)", in.oldName.c_str(), in.newName.c_str()))
OBJECT_OP(ISTORAGE_Revert, hStorage, kAnyKind, TEXT("IStorage::Revert"))
OBJECT_OP(ISTORAGE_SetClass, hStorage, kAnyKind, TEXT("IStorage::SetClass"))
OBJECT_OP(ISTORAGE_SetElementTimes, hStorage, kAnyKind, TEXT("IStorage::SetElementTimes(%s)", in.name.c_str()))
OBJECT_OP(ISTORAGE_SetStateBits, hStorage, kAnyKind, TEXT("IStorage::SetStateBits(%x,%x)", in.grfStateBits, in.grfMask))
OBJECT_OP(ISTORAGE_Stats, hStorage, kAnyKind, TEXT("IStorage::Stats"))

HANDLER(IEnumSTATSTG_Next) {
  out.statstg.max = in.celt < 0 ? 0 : static_cast<std::uint32_t>(in.celt);
  out.result =
      ObjectFrame<zel::IEnumSTATSTG_Next>(reg_, in.hEnum, kAnyKind, Options(TEXT("IEnumSTATSTG::Next(%d)", in.celt)),
                                          [&](CServerClass& o) { return o.IEnumSTATSTG_Next(in, out); });
  if (out.statstg.items.size() > out.statstg.max) out.statstg.items.resize(out.statstg.max);
  out.celtFetched = static_cast<std::int32_t>(out.statstg.items.size());
}

OBJECT_OP(IEnumSTATSTG_Skip, hEnum, kAnyKind, TEXT("IEnumSTATSTG::Skip(%d)", in.celt))
OBJECT_OP(IEnumSTATSTG_Reset, hEnum, kAnyKind, TEXT("IEnumSTATSTG::Reset()"))
OBJECT_OP(IEnumSTATSTG_Clone, hEnum, kAnyKind, TEXT("IEnumSTATSTG::Clone()"))

// ---- buffers beyond ReadBuffer ----

void CServerDispatch::ReadInPlace(const zel::ReadBufferEx::Request& in, rpc::NdrWriter& out) {
  // cbRead, the conformant varying array of at most cbMax bytes, the result.
  const std::uint32_t max = in.cbMax < 0 ? 0 : static_cast<std::uint32_t>(in.cbMax);
  ReplyBytes area(out, true, max, true);
  std::int32_t n = Guarded(zel::ReadBufferEx::kName,
                           [&] { return reg_.AppendBlock(in.hBuffer, max, out.mutable_data()); });
  area.Finish(n < 0 ? 0 : static_cast<std::uint32_t>(n));
  out.I32(n);
}

// ---- fixed answers: these touch nothing ----

HANDLER(Reserved101) {
  out.result = 0;
}
HANDLER(Reserved102) {
  out.result = 0;
}
HANDLER(ZELDIR_Open) {
  out.result = 1;
}
HANDLER(ZELDIR_QueryByName) {
  out.result = 1;
}
HANDLER(ZELDIR_QueryAll) {
  out.result = 1;
}
HANDLER(ZELDIR_OpenByName) {
  out.result = 1;
}
HANDLER(ZELDIR_CreateByName) {
  out.result = 1;
}
HANDLER(ZELDIR_DeleteByName) {
  out.result = 1;
}
HANDLER(ZELDIR_WriteByName) {
  out.result = 1;
}
HANDLER(ZELDIR_AppendByName) {
  out.result = 1;
}
HANDLER(ZELDIR_Release) {
  out.result = 1;
}
HANDLER(ExecuteCommand) {
  out.result = 0;
}
HANDLER(Reserved114) {
  out.result = 0;
}
HANDLER(Reserved117) {
  out.value1 = 1800;
  out.value2 = 0;
  out.value3 = 0;
  out.result = 0;
}

HANDLER(GetStream) {
  Guarded(zel::GetStream::kName, [&] {
    ObjectTrace(reg_, in.hObject, "GetStream()");
    return 0;
  });
  out.result = 1;
}

HANDLER(SetStream) {
  Guarded(zel::SetStream::kName, [&] {
    ObjectTrace(reg_, in.hObject, "SetStream()");
    return 0;
  });
  out.result = 1;
}

// ---- store identity and open objects ----

HANDLER(Server_SetProfileGuid) {
  out.guid = in.guid;
  out.result = Guarded(zel::Server_SetProfileGuid::kName, [&]() -> HRESULT {
    if (!hooks_.set_profile_guid) return MAPI_E_NO_SUPPORT;
    return hooks_.set_profile_guid(in, out);
  });
}

HANDLER(GetFolderID) {
  out.result = Guarded(zel::GetFolderID::kName, [&] {
    std::int32_t h = 0;
    HRESULT status = reg_.FindByEntryID(in.entryID, &h);
    out.hObject = status == 0 ? h : 0;
    return status;
  });
}

#undef OBJECT_OP
#undef HANDLER
#undef TEXT

// ---- dispatch table ----

namespace {

using Thunk = void (*)(CServerDispatch&, rpc::NdrReader&, rpc::NdrWriter&);

template <class Op>
void Run(CServerDispatch& d, rpc::NdrReader& in, rpc::NdrWriter& out) {
  typename Op::Request request;
  zel::op::Decode(in, request);  // throws NdrError before anything runs
  if constexpr (requires { d.ReadInPlace(request, out); }) {
    d.ReadInPlace(request, out);
  } else {
    typename Op::Reply reply;
    CurrentCall().refused = false;
    d.Handle<Op>(request, reply);
    // A cap refused a block or an object: nothing of the answer goes out.
    if constexpr (requires { reply.result; }) {
      if (CurrentCall().refused) {
        reply = typename Op::Reply{};
        reply.result = MAPI_E_NOT_ENOUGH_MEMORY;
      }
    }
    zel::op::Encode(out, reply);
  }
}

const std::array<Thunk, zel::kOperationCount>& Thunks() {
  static const auto table = [] {
    std::array<Thunk, zel::kOperationCount> t{};
    zel::ForEachOperation([&]<class Op>() { t[Op::kOpnum] = &Run<Op>; });
    return t;
  }();
  return table;
}

}  // namespace

RPC_STATUS CServerDispatch::Dispatch(const rpc::CallInfo& call, rpc::NdrReader& in, rpc::NdrWriter& out) {
  if (call.opnum >= zel::kOperationCount) return static_cast<RPC_STATUS>(nca_s_op_rng_error);
  CallScope scope(CallContext{call.association, call.peer});
  Thunks()[call.opnum](*this, in, out);
  return RPC_S_OK;
}

rpc::InterfaceSpec CServerDispatch::Spec() {
  rpc::InterfaceSpec spec = zel::InterfaceSpec();
  spec.dispatch = [this](const rpc::CallInfo& call, rpc::NdrReader& in, rpc::NdrWriter& out) {
    return Dispatch(call, in, out);
  };
  return spec;
}

}  // namespace vantrel::server
