// COM structured storage: STATSTG, its flag words, and the IStream,
// IStorage and IEnumSTATSTG interfaces in their published method order.
#pragma once

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/base/Unknown.h"
#include "platform/base/WinTypes.h"

using SNB = WCHAR**;
using LPOLESTR = WCHAR*;
using LPCOLESTR = const WCHAR*;

inline constexpr DWORD STGTY_STORAGE = 1;
inline constexpr DWORD STGTY_STREAM = 2;
inline constexpr DWORD STGTY_LOCKBYTES = 3;
inline constexpr DWORD STGTY_PROPERTY = 4;

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

inline constexpr DWORD STGM_DIRECT = 0x00000000;
inline constexpr DWORD STGM_TRANSACTED = 0x00010000;
inline constexpr DWORD STGM_SIMPLE = 0x08000000;
inline constexpr DWORD STGM_READ = 0x00000000;
inline constexpr DWORD STGM_WRITE = 0x00000001;
inline constexpr DWORD STGM_READWRITE = 0x00000002;
inline constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
inline constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
inline constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
inline constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
inline constexpr DWORD STGM_PRIORITY = 0x00040000;
inline constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;
inline constexpr DWORD STGM_NOSCRATCH = 0x00100000;
inline constexpr DWORD STGM_CREATE = 0x00001000;
inline constexpr DWORD STGM_CONVERT = 0x00020000;
inline constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
inline constexpr DWORD STGM_NOSNAPSHOT = 0x00200000;
inline constexpr DWORD STGM_DIRECT_SWMR = 0x00400000;

inline constexpr DWORD STGC_DEFAULT = 0;
inline constexpr DWORD STGC_OVERWRITE = 1;
inline constexpr DWORD STGC_ONLYIFCURRENT = 2;
inline constexpr DWORD STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4;
inline constexpr DWORD STGC_CONSOLIDATE = 8;

inline constexpr DWORD STGMOVE_MOVE = 0;
inline constexpr DWORD STGMOVE_COPY = 1;
inline constexpr DWORD STGMOVE_SHALLOWCOPY = 2;

inline constexpr DWORD STATFLAG_DEFAULT = 0;
inline constexpr DWORD STATFLAG_NONAME = 1;
inline constexpr DWORD STATFLAG_NOOPEN = 2;

inline constexpr DWORD LOCK_WRITE = 1;
inline constexpr DWORD LOCK_EXCLUSIVE = 2;
inline constexpr DWORD LOCK_ONLYONCE = 4;

struct STATSTG {
  LPOLESTR pwcsName;  // allocated with CoTaskMemAlloc; caller frees
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

// Task memory for STATSTG names and similar out-strings.
void* CoTaskMemAlloc(size_t cb);
void CoTaskMemFree(void* pv);

struct ISequentialStream : public IUnknown {
  STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : public ISequentialStream {
  static constexpr const IID& kIID = IID_IStream;
  STDMETHOD(Seek)(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  STDMETHOD(SetSize)(ULARGE_INTEGER libNewSize) = 0;
  STDMETHOD(CopyTo)(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
  STDMETHOD(Commit)(DWORD grfCommitFlags) = 0;
  STDMETHOD(Revert)() = 0;
  STDMETHOD(LockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  STDMETHOD(UnlockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  STDMETHOD(Clone)(IStream** ppstm) = 0;
};
using LPSTREAM = IStream*;

struct IEnumSTATSTG : public IUnknown {
  static constexpr const IID& kIID = IID_IEnumSTATSTG;
  STDMETHOD(Next)(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
  STDMETHOD(Skip)(ULONG celt) = 0;
  STDMETHOD(Reset)() = 0;
  STDMETHOD(Clone)(IEnumSTATSTG** ppenum) = 0;
};

struct IStorage : public IUnknown {
  static constexpr const IID& kIID = IID_IStorage;
  STDMETHOD(CreateStream)(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2, IStream** ppstm) = 0;
  STDMETHOD(OpenStream)(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2, IStream** ppstm) = 0;
  STDMETHOD(CreateStorage)(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2, IStorage** ppstg) = 0;
  STDMETHOD(OpenStorage)
  (LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude, DWORD reserved, IStorage** ppstg) = 0;
  STDMETHOD(CopyTo)(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) = 0;
  STDMETHOD(MoveElementTo)(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName, DWORD grfFlags) = 0;
  STDMETHOD(Commit)(DWORD grfCommitFlags) = 0;
  STDMETHOD(Revert)() = 0;
  STDMETHOD(EnumElements)(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) = 0;
  STDMETHOD(DestroyElement)(LPCOLESTR pwcsName) = 0;
  STDMETHOD(RenameElement)(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) = 0;
  STDMETHOD(SetElementTimes)
  (LPCOLESTR pwcsName, const FILETIME* pctime, const FILETIME* patime, const FILETIME* pmtime) = 0;
  STDMETHOD(SetClass)(REFCLSID clsid) = 0;
  STDMETHOD(SetStateBits)(DWORD grfStateBits, DWORD grfMask) = 0;
  STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};
using LPSTORAGE = IStorage*;
