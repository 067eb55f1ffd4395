// MAPI's published data structures and constants: property tags and types,
// property values, rows, restrictions, sort orders, notifications and the
// flag words of the MAPI calls. Layouts are the native (64-bit) ones; the
// wire codec writes 32-bit images field by field.
#pragma once

#include <cstddef>

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/base/WinTypes.h"

using LPULONG = ULONG*;
using LPLONG = LONG*;
using BOOKMARK = ULONG_PTR;
using LPTSTR = char*;
using LPCLSID = CLSID*;
using LPFILETIME = FILETIME*;
using LPLARGE_INTEGER = LARGE_INTEGER*;

// ---- property types and tags ----------------------------------------------
inline constexpr ULONG PT_UNSPECIFIED = 0x0000;
inline constexpr ULONG PT_NULL = 0x0001;
inline constexpr ULONG PT_I2 = 0x0002;
inline constexpr ULONG PT_SHORT = PT_I2;
inline constexpr ULONG PT_LONG = 0x0003;
inline constexpr ULONG PT_I4 = PT_LONG;
inline constexpr ULONG PT_R4 = 0x0004;
inline constexpr ULONG PT_FLOAT = PT_R4;
inline constexpr ULONG PT_DOUBLE = 0x0005;
inline constexpr ULONG PT_R8 = PT_DOUBLE;
inline constexpr ULONG PT_CURRENCY = 0x0006;
inline constexpr ULONG PT_APPTIME = 0x0007;
inline constexpr ULONG PT_ERROR = 0x000A;
inline constexpr ULONG PT_BOOLEAN = 0x000B;
inline constexpr ULONG PT_OBJECT = 0x000D;
inline constexpr ULONG PT_I8 = 0x0014;
inline constexpr ULONG PT_LONGLONG = PT_I8;
inline constexpr ULONG PT_STRING8 = 0x001E;
inline constexpr ULONG PT_UNICODE = 0x001F;
inline constexpr ULONG PT_TSTRING = PT_STRING8;  // we build the 8-bit flavour
inline constexpr ULONG PT_SYSTIME = 0x0040;
inline constexpr ULONG PT_CLSID = 0x0048;
inline constexpr ULONG PT_BINARY = 0x0102;

inline constexpr ULONG MV_FLAG = 0x1000;
inline constexpr ULONG MV_INSTANCE = 0x2000;
inline constexpr ULONG MVI_FLAG = MV_FLAG | MV_INSTANCE;

inline constexpr ULONG PT_MV_I2 = MV_FLAG | PT_I2;
inline constexpr ULONG PT_MV_SHORT = PT_MV_I2;
inline constexpr ULONG PT_MV_LONG = MV_FLAG | PT_LONG;
inline constexpr ULONG PT_MV_I4 = PT_MV_LONG;
inline constexpr ULONG PT_MV_R4 = MV_FLAG | PT_R4;
inline constexpr ULONG PT_MV_FLOAT = PT_MV_R4;
inline constexpr ULONG PT_MV_DOUBLE = MV_FLAG | PT_DOUBLE;
inline constexpr ULONG PT_MV_R8 = PT_MV_DOUBLE;
inline constexpr ULONG PT_MV_CURRENCY = MV_FLAG | PT_CURRENCY;
inline constexpr ULONG PT_MV_APPTIME = MV_FLAG | PT_APPTIME;
inline constexpr ULONG PT_MV_SYSTIME = MV_FLAG | PT_SYSTIME;
inline constexpr ULONG PT_MV_STRING8 = MV_FLAG | PT_STRING8;
inline constexpr ULONG PT_MV_BINARY = MV_FLAG | PT_BINARY;
inline constexpr ULONG PT_MV_UNICODE = MV_FLAG | PT_UNICODE;
inline constexpr ULONG PT_MV_TSTRING = MV_FLAG | PT_TSTRING;
inline constexpr ULONG PT_MV_CLSID = MV_FLAG | PT_CLSID;
inline constexpr ULONG PT_MV_I8 = MV_FLAG | PT_I8;
inline constexpr ULONG PT_MV_LONGLONG = PT_MV_I8;

inline constexpr ULONG PROP_TYPE_MASK = 0x0000FFFF;
inline constexpr ULONG PROP_TYPE(ULONG tag) {
  return tag & PROP_TYPE_MASK;
}
inline constexpr ULONG PROP_ID(ULONG tag) {
  return tag >> 16;
}
inline constexpr ULONG PROP_TAG(ULONG type, ULONG id) {
  return (id << 16) | type;
}
inline constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) {
  return (tag & 0xFFFF0000u) | type;
}
inline constexpr ULONG PROP_ID_NULL = 0;
inline constexpr ULONG PROP_ID_INVALID = 0xFFFF;
inline constexpr ULONG PROP_ID_SECURE_MIN = 0x67F0;
inline constexpr ULONG PROP_ID_SECURE_MAX = 0x67FF;
inline constexpr ULONG PR_NULL = PROP_TAG(PT_NULL, PROP_ID_NULL);

// ---- value types ----------------------------------------------------------
union CURRENCY {
  struct {
    ULONG Lo;
    LONG Hi;
  } s;
  LONGLONG int64;
};
static_assert(sizeof(CURRENCY) == 8);

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SShortArray {
  ULONG cValues;
  SHORT* lpi;
};
struct SLongArray {
  ULONG cValues;
  LONG* lpl;
};
struct SRealArray {
  ULONG cValues;
  float* lpflt;
};
struct SDoubleArray {
  ULONG cValues;
  double* lpdbl;
};
struct SCurrencyArray {
  ULONG cValues;
  CURRENCY* lpcur;
};
struct SAppTimeArray {
  ULONG cValues;
  double* lpat;
};
struct SDateTimeArray {
  ULONG cValues;
  FILETIME* lpft;
};
struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
struct SLPSTRArray {
  ULONG cValues;
  LPSTR* lppszA;
};
struct SWStringArray {
  ULONG cValues;
  LPWSTR* lppszW;
};
struct SGuidArray {
  ULONG cValues;
  GUID* lpguid;
};
struct SLargeIntegerArray {
  ULONG cValues;
  LARGE_INTEGER* lpli;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = SBinaryArray*;

union _PV {
  SHORT i;
  LONG l;
  ULONG ul;
  float flt;
  double dbl;
  USHORT b;
  CURRENCY cur;
  double at;
  FILETIME ft;
  LPSTR lpszA;
  SBinary bin;
  LPWSTR lpszW;
  LPGUID lpguid;
  LARGE_INTEGER li;
  SShortArray MVi;
  SLongArray MVl;
  SRealArray MVflt;
  SDoubleArray MVdbl;
  SCurrencyArray MVcur;
  SAppTimeArray MVat;
  SDateTimeArray MVft;
  SBinaryArray MVbin;
  SLPSTRArray MVszA;
  SWStringArray MVszW;
  SGuidArray MVguid;
  SLargeIntegerArray MVli;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;

// Bytes of a tag array of n tags (the published CbNewSPropTagArray).
inline constexpr size_t CbNewSPropTagArray(size_t n) {
  return offsetof(SPropTagArray, aulPropTag) + n * sizeof(ULONG);
}
inline size_t CbSPropTagArray(const SPropTagArray* p) {
  return CbNewSPropTagArray(p->cValues);
}

// A tag array of fixed size on the stack (SizedSPropTagArray); pass it as
// `arr.get()`.
template <size_t N>
struct SizedSPropTagArray {
  ULONG cValues = N;
  ULONG aulPropTag[N];
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(this); }
  const SPropTagArray* get() const { return reinterpret_cast<const SPropTagArray*>(this); }
};

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[1];
};
using LPSPropProblemArray = SPropProblemArray*;
inline constexpr size_t CbNewSPropProblemArray(size_t n) {
  return offsetof(SPropProblemArray, aProblem) + n * sizeof(SPropProblem);
}

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;
struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
using LPSRowSet = SRowSet*;
inline constexpr size_t CbNewSRowSet(size_t n) {
  return offsetof(SRowSet, aRow) + n * sizeof(SRow);
}

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;
struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];
};
using LPADRLIST = ADRLIST*;
inline constexpr size_t CbNewADRLIST(size_t n) {
  return offsetof(ADRLIST, aEntries) + n * sizeof(ADRENTRY);
}

struct MAPIUID {
  BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];
};
using LPENTRYID = ENTRYID*;
inline constexpr size_t CbNewENTRYID(size_t cb) {
  return offsetof(ENTRYID, ab) + cb;
}

// Named properties.
inline constexpr ULONG MNID_ID = 0;
inline constexpr ULONG MNID_STRING = 1;
struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;
  union {
    LONG lID;
    LPWSTR lpwstrName;
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;
inline constexpr ULONG MAPI_NO_STRINGS = 0x00000001;
inline constexpr ULONG MAPI_NO_IDS = 0x00000002;

inline constexpr ULONG MAPI_ERROR_VERSION = 0;
struct MAPIERROR {
  ULONG ulVersion;
  LPSTR lpszError;  // LPWSTR when MAPI_UNICODE was asked
  LPSTR lpszComponent;
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

// ---- restrictions ---------------------------------------------------------
inline constexpr ULONG RES_AND = 0;
inline constexpr ULONG RES_OR = 1;
inline constexpr ULONG RES_NOT = 2;
inline constexpr ULONG RES_CONTENT = 3;
inline constexpr ULONG RES_PROPERTY = 4;
inline constexpr ULONG RES_COMPAREPROPS = 5;
inline constexpr ULONG RES_BITMASK = 6;
inline constexpr ULONG RES_SIZE = 7;
inline constexpr ULONG RES_EXIST = 8;
inline constexpr ULONG RES_SUBRESTRICTION = 9;
inline constexpr ULONG RES_COMMENT = 10;

inline constexpr ULONG RELOP_LT = 0;
inline constexpr ULONG RELOP_LE = 1;
inline constexpr ULONG RELOP_GT = 2;
inline constexpr ULONG RELOP_GE = 3;
inline constexpr ULONG RELOP_EQ = 4;
inline constexpr ULONG RELOP_NE = 5;
inline constexpr ULONG RELOP_RE = 6;

inline constexpr ULONG FL_FULLSTRING = 0x00000;
inline constexpr ULONG FL_SUBSTRING = 0x00001;
inline constexpr ULONG FL_PREFIX = 0x00002;
inline constexpr ULONG FL_IGNORECASE = 0x10000;
inline constexpr ULONG FL_IGNORENONSPACE = 0x20000;
inline constexpr ULONG FL_LOOSE = 0x40000;

inline constexpr ULONG BMR_EQZ = 0;
inline constexpr ULONG BMR_NEZ = 1;

struct SRestriction;
using LPSRestriction = SRestriction*;

struct SAndRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SOrRestriction {
  ULONG cRes;
  LPSRestriction lpRes;
};
struct SNotRestriction {
  ULONG ulReserved;
  LPSRestriction lpRes;
};
struct SContentRestriction {
  ULONG ulFuzzyLevel;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SPropertyRestriction {
  ULONG relop;
  ULONG ulPropTag;
  LPSPropValue lpProp;
};
struct SComparePropsRestriction {
  ULONG relop;
  ULONG ulPropTag1;
  ULONG ulPropTag2;
};
struct SBitMaskRestriction {
  ULONG relBMR;
  ULONG ulPropTag;
  ULONG ulMask;
};
struct SSizeRestriction {
  ULONG relop;
  ULONG ulPropTag;
  ULONG cb;
};
struct SExistRestriction {
  ULONG ulReserved1;
  ULONG ulPropTag;
  ULONG ulReserved2;
};
struct SSubRestriction {
  ULONG ulSubObject;
  LPSRestriction lpRes;
};
struct SCommentRestriction {
  ULONG cValues;
  LPSRestriction lpRes;
  LPSPropValue lpProp;
};

struct SRestriction {
  ULONG rt;
  union {
    SComparePropsRestriction resCompareProps;
    SAndRestriction resAnd;
    SOrRestriction resOr;
    SNotRestriction resNot;
    SContentRestriction resContent;
    SPropertyRestriction resProperty;
    SBitMaskRestriction resBitMask;
    SSizeRestriction resSize;
    SExistRestriction resExist;
    SSubRestriction resSub;
    SCommentRestriction resComment;
  } res;
};

// ---- sort orders ----------------------------------------------------------
inline constexpr ULONG TABLE_SORT_ASCEND = 0;
inline constexpr ULONG TABLE_SORT_DESCEND = 1;
inline constexpr ULONG TABLE_SORT_COMBINE = 2;

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};
using LPSSortOrder = SSortOrder*;
struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;
inline constexpr size_t CbNewSSortOrderSet(size_t n) {
  return offsetof(SSortOrderSet, aSort) + n * sizeof(SSortOrder);
}

template <size_t N>
struct SizedSSortOrderSet {
  ULONG cSorts = N;
  ULONG cCategories = 0;
  ULONG cExpanded = 0;
  SSortOrder aSort[N];
  LPSSortOrderSet get() { return reinterpret_cast<LPSSortOrderSet>(this); }
};

// ---- notifications --------------------------------------------------------
inline constexpr ULONG fnevCriticalError = 0x00000001;
inline constexpr ULONG fnevNewMail = 0x00000002;
inline constexpr ULONG fnevObjectCreated = 0x00000004;
inline constexpr ULONG fnevObjectDeleted = 0x00000008;
inline constexpr ULONG fnevObjectModified = 0x00000010;
inline constexpr ULONG fnevObjectMoved = 0x00000020;
inline constexpr ULONG fnevObjectCopied = 0x00000040;
inline constexpr ULONG fnevSearchComplete = 0x00000080;
inline constexpr ULONG fnevTableModified = 0x00000100;
inline constexpr ULONG fnevStatusObjectModified = 0x00000200;
inline constexpr ULONG fnevReservedForMapi = 0x40000000;
inline constexpr ULONG fnevExtended = 0x80000000;

inline constexpr ULONG TABLE_CHANGED = 1;
inline constexpr ULONG TABLE_ERROR = 2;
inline constexpr ULONG TABLE_ROW_ADDED = 3;
inline constexpr ULONG TABLE_ROW_DELETED = 4;
inline constexpr ULONG TABLE_ROW_MODIFIED = 5;
inline constexpr ULONG TABLE_SORT_DONE = 6;
inline constexpr ULONG TABLE_RESTRICT_DONE = 7;
inline constexpr ULONG TABLE_SETCOL_DONE = 8;
inline constexpr ULONG TABLE_RELOAD = 9;

struct ERROR_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  SCODE scode;
  ULONG ulFlags;
  LPMAPIERROR lpMAPIError;
};
struct NEWMAIL_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG ulFlags;
  LPSTR lpszMessageClass;  // LPWSTR under MAPI_UNICODE
  ULONG ulMessageFlags;
};
struct OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG ulObjType;
  ULONG cbParentID;
  LPENTRYID lpParentID;
  ULONG cbOldID;
  LPENTRYID lpOldID;
  ULONG cbOldParentID;
  LPENTRYID lpOldParentID;
  LPSPropTagArray lpPropTagArray;
};
struct TABLE_NOTIFICATION {
  ULONG ulTableEvent;
  HRESULT hResult;
  SPropValue propIndex;
  SPropValue propPrior;
  SRow row;
  ULONG ulPad;
};
struct EXTENDED_NOTIFICATION {
  ULONG ulEvent;
  ULONG cb;
  LPBYTE pbEventParameters;
};
struct STATUS_OBJECT_NOTIFICATION {
  ULONG cbEntryID;
  LPENTRYID lpEntryID;
  ULONG cValues;
  LPSPropValue lpPropVals;
};
struct NOTIFICATION {
  ULONG ulEventType;
  ULONG ulAlignPad;
  union {
    ERROR_NOTIFICATION err;
    NEWMAIL_NOTIFICATION newmail;
    OBJECT_NOTIFICATION obj;
    TABLE_NOTIFICATION tab;
    EXTENDED_NOTIFICATION ext;
    STATUS_OBJECT_NOTIFICATION statobj;
  } info;
};
using LPNOTIFICATION = NOTIFICATION*;

// Notification keys and flag lists.
struct NOTIFKEY {
  ULONG cb;
  BYTE ab[1];
};
using LPNOTIFKEY = NOTIFKEY*;
inline constexpr size_t CbNewNOTIFKEY(size_t cb) {
  return offsetof(NOTIFKEY, ab) + cb;
}
inline constexpr ULONG NOTIFY_SYNC = 0x40000000;

struct FlagList {
  ULONG cFlags;
  ULONG ulFlag[1];
};
using LPFlagList = FlagList*;
inline constexpr ULONG MAPI_UNRESOLVED = 0;
inline constexpr ULONG MAPI_AMBIGUOUS = 1;
inline constexpr ULONG MAPI_RESOLVED = 2;

// ---- object types ---------------------------------------------------------
inline constexpr ULONG MAPI_STORE = 1;
inline constexpr ULONG MAPI_ADDRBOOK = 2;
inline constexpr ULONG MAPI_FOLDER = 3;
inline constexpr ULONG MAPI_ABCONT = 4;
inline constexpr ULONG MAPI_MESSAGE = 5;
inline constexpr ULONG MAPI_MAILUSER = 6;
inline constexpr ULONG MAPI_ATTACH = 7;
inline constexpr ULONG MAPI_DISTLIST = 8;
inline constexpr ULONG MAPI_PROFSECT = 9;
inline constexpr ULONG MAPI_STATUS = 10;
inline constexpr ULONG MAPI_SESSION = 11;
inline constexpr ULONG MAPI_FORMINFO = 12;

// ---- common call flags ----------------------------------------------------
inline constexpr ULONG MAPI_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_CREATE = 0x00000002;
inline constexpr ULONG MAPI_ACCESS_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_ACCESS_READ = 0x00000002;
inline constexpr ULONG MAPI_ACCESS_DELETE = 0x00000004;
inline constexpr ULONG MAPI_ACCESS_CREATE_HIERARCHY = 0x00000008;
inline constexpr ULONG MAPI_ACCESS_CREATE_CONTENTS = 0x00000010;
inline constexpr ULONG MAPI_ACCESS_CREATE_ASSOCIATED = 0x00000020;
inline constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
inline constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
inline constexpr ULONG MAPI_ASSOCIATED = 0x00000040;
inline constexpr ULONG MAPI_USE_DEFAULT = 0x00000040;
inline constexpr ULONG MAPI_UNICODE = 0x80000000;
inline constexpr ULONG MAPI_DIALOG = 0x00000008;
inline constexpr ULONG MAPI_MOVE = 0x00000001;
inline constexpr ULONG MAPI_NOREPLACE = 0x00000002;
inline constexpr ULONG MAPI_DECLINE_OK = 0x00000004;
inline constexpr ULONG MAPI_NO_CACHE = 0x00000200;
inline constexpr ULONG MAPI_CACHE_ONLY = 0x00004000;

// Logon and initialisation.
inline constexpr ULONG MAPI_LOGON_UI = 0x00000001;
inline constexpr ULONG MAPI_NEW_SESSION = 0x00000002;
inline constexpr ULONG MAPI_ALLOW_OTHERS = 0x00000008;
inline constexpr ULONG MAPI_EXPLICIT_PROFILE = 0x00000010;
inline constexpr ULONG MAPI_EXTENDED = 0x00000020;
inline constexpr ULONG MAPI_FORCE_DOWNLOAD = 0x00001000;
inline constexpr ULONG MAPI_SERVICE_UI_ALWAYS = 0x00002000;
inline constexpr ULONG MAPI_NO_MAIL = 0x00008000;
inline constexpr ULONG MAPI_NT_SERVICE = 0x00010000;
inline constexpr ULONG MAPI_PASSWORD_UI = 0x00020000;
inline constexpr ULONG MAPI_TIMEOUT_SHORT = 0x00100000;
inline constexpr ULONG MAPI_MULTITHREAD_NOTIFICATIONS = 0x00000001;
inline constexpr ULONG MAPI_NO_COINIT = 0x00000008;
inline constexpr ULONG MAPI_INIT_VERSION = 0;

// OpenMsgStore and StoreLogoff.
inline constexpr ULONG MDB_NO_DIALOG = 0x00000001;
inline constexpr ULONG MDB_WRITE = 0x00000004;
inline constexpr ULONG MDB_TEMPORARY = 0x00000020;
inline constexpr ULONG MDB_NO_MAIL = 0x00000080;
inline constexpr ULONG MDB_ONLINE = 0x00000100;
inline constexpr ULONG LOGOFF_NO_WAIT = 0x00000001;
inline constexpr ULONG LOGOFF_ORDERLY = 0x00000002;
inline constexpr ULONG LOGOFF_PURGE = 0x00000004;
inline constexpr ULONG LOGOFF_ABORT = 0x00000008;
inline constexpr ULONG LOGOFF_QUIET = 0x00000010;
inline constexpr ULONG LOGOFF_COMPLETE = 0x00010000;
inline constexpr ULONG LOGOFF_INBOUND = 0x00020000;
inline constexpr ULONG LOGOFF_OUTBOUND = 0x00040000;
inline constexpr ULONG LOGOFF_OUTBOUND_QUEUE = 0x00080000;

// SaveChanges.
inline constexpr ULONG KEEP_OPEN_READONLY = 0x00000001;
inline constexpr ULONG KEEP_OPEN_READWRITE = 0x00000002;
inline constexpr ULONG FORCE_SAVE = 0x00000004;

// Folders.
inline constexpr ULONG FOLDER_ROOT = 0;
inline constexpr ULONG FOLDER_GENERIC = 1;
inline constexpr ULONG FOLDER_SEARCH = 2;
inline constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
inline constexpr ULONG DEL_MESSAGES = 0x00000001;
inline constexpr ULONG FOLDER_DIALOG = 0x00000002;
inline constexpr ULONG DEL_FOLDERS = 0x00000004;
inline constexpr ULONG DEL_ASSOCIATED = 0x00000008;
inline constexpr ULONG MESSAGE_MOVE = 0x00000001;
inline constexpr ULONG MESSAGE_DIALOG = 0x00000002;
inline constexpr ULONG FOLDER_MOVE = 0x00000001;
inline constexpr ULONG COPY_SUBFOLDERS = 0x00000010;
inline constexpr ULONG CONVENIENT_DEPTH = 0x00000001;

// PR_VALID_FOLDER_MASK.
inline constexpr ULONG FOLDER_IPM_SUBTREE_VALID = 0x00000001;
inline constexpr ULONG FOLDER_IPM_INBOX_VALID = 0x00000002;
inline constexpr ULONG FOLDER_IPM_OUTBOX_VALID = 0x00000004;
inline constexpr ULONG FOLDER_IPM_WASTEBASKET_VALID = 0x00000008;
inline constexpr ULONG FOLDER_IPM_SENTMAIL_VALID = 0x00000010;
inline constexpr ULONG FOLDER_VIEWS_VALID = 0x00000020;
inline constexpr ULONG FOLDER_COMMON_VIEWS_VALID = 0x00000040;
inline constexpr ULONG FOLDER_FINDER_VALID = 0x00000080;

// Messages.
inline constexpr ULONG MSGFLAG_READ = 0x00000001;
inline constexpr ULONG MSGFLAG_UNMODIFIED = 0x00000002;
inline constexpr ULONG MSGFLAG_SUBMIT = 0x00000004;
inline constexpr ULONG MSGFLAG_UNSENT = 0x00000008;
inline constexpr ULONG MSGFLAG_HASATTACH = 0x00000010;
inline constexpr ULONG MSGFLAG_FROMME = 0x00000020;
inline constexpr ULONG MSGFLAG_ASSOCIATED = 0x00000040;
inline constexpr ULONG MSGFLAG_RESEND = 0x00000080;
inline constexpr ULONG MSGFLAG_RN_PENDING = 0x00000100;
inline constexpr ULONG MSGFLAG_NRN_PENDING = 0x00000200;

inline constexpr ULONG MSGSTATUS_HIGHLIGHTED = 0x00000001;
inline constexpr ULONG MSGSTATUS_TAGGED = 0x00000002;
inline constexpr ULONG MSGSTATUS_HIDDEN = 0x00000004;
inline constexpr ULONG MSGSTATUS_DELMARKED = 0x00000008;
inline constexpr ULONG MSGSTATUS_REMOTE_DOWNLOAD = 0x00001000;
inline constexpr ULONG MSGSTATUS_REMOTE_DELETE = 0x00002000;

inline constexpr ULONG SUBMITFLAG_LOCKED = 0x00000001;
inline constexpr ULONG SUBMITFLAG_PREPROCESS = 0x00000002;

inline constexpr ULONG NO_ATTACHMENT = 0;
inline constexpr ULONG ATTACH_BY_VALUE = 1;
inline constexpr ULONG ATTACH_BY_REFERENCE = 2;
inline constexpr ULONG ATTACH_BY_REF_RESOLVE = 3;
inline constexpr ULONG ATTACH_BY_REF_ONLY = 4;
inline constexpr ULONG ATTACH_EMBEDDED_MSG = 5;
inline constexpr ULONG ATTACH_OLE = 6;

inline constexpr ULONG MODRECIP_ADD = 0x00000002;
inline constexpr ULONG MODRECIP_MODIFY = 0x00000004;
inline constexpr ULONG MODRECIP_REMOVE = 0x00000008;

inline constexpr ULONG MAPI_ORIG = 0;
inline constexpr ULONG MAPI_TO = 1;
inline constexpr ULONG MAPI_CC = 2;
inline constexpr ULONG MAPI_BCC = 3;
inline constexpr ULONG MAPI_P1 = 0x10000000;
inline constexpr ULONG MAPI_SUBMITTED = 0x80000000;

// SetReadFlag(s).
inline constexpr ULONG SUPPRESS_RECEIPT = 0x00000001;
inline constexpr ULONG CLEAR_READ_FLAG = 0x00000004;
inline constexpr ULONG GENERATE_RECEIPT_ONLY = 0x00000010;
inline constexpr ULONG CLEAR_RN_PENDING = 0x00000020;
inline constexpr ULONG CLEAR_NRN_PENDING = 0x00000040;

// ---- tables ---------------------------------------------------------------
inline constexpr ULONG TBL_ALL_COLUMNS = 0x00000001;
inline constexpr ULONG TBL_NOADVANCE = 0x00000001;
inline constexpr ULONG TBL_NOWAIT = 0x00000001;
inline constexpr ULONG TBL_ASYNC = 0x00000001;
inline constexpr ULONG TBL_BATCH = 0x00000002;
inline constexpr ULONG DIR_BACKWARD = 0x00000001;

inline constexpr BOOKMARK BOOKMARK_BEGINNING = 0;
inline constexpr BOOKMARK BOOKMARK_CURRENT = 1;
inline constexpr BOOKMARK BOOKMARK_END = 2;

inline constexpr ULONG TBLSTAT_COMPLETE = 0;
inline constexpr ULONG TBLSTAT_QCHANGED = 7;
inline constexpr ULONG TBLSTAT_SORTING = 9;
inline constexpr ULONG TBLSTAT_SORT_ERROR = 10;
inline constexpr ULONG TBLSTAT_SETTING_COLS = 11;
inline constexpr ULONG TBLSTAT_SETCOL_ERROR = 13;
inline constexpr ULONG TBLSTAT_RESTRICTING = 14;
inline constexpr ULONG TBLSTAT_RESTRICT_ERROR = 15;

inline constexpr ULONG TBLTYPE_SNAPSHOT = 0;
inline constexpr ULONG TBLTYPE_KEYSET = 1;
inline constexpr ULONG TBLTYPE_DYNAMIC = 2;

// PR_ROW_TYPE.
inline constexpr ULONG TBL_LEAF_ROW = 1;
inline constexpr ULONG TBL_EMPTY_CATEGORY = 2;
inline constexpr ULONG TBL_EXPANDED_CATEGORY = 3;
inline constexpr ULONG TBL_COLLAPSED_CATEGORY = 4;

// ITableData::HrModifyRows / ModifyRowList.
inline constexpr ULONG ROWLIST_REPLACE = 0x00000001;
inline constexpr ULONG ROW_ADD = 1;
inline constexpr ULONG ROW_MODIFY = 2;
inline constexpr ULONG ROW_REMOVE = 4;
inline constexpr ULONG ROW_EMPTY = ROW_ADD | ROW_REMOVE;

// ---- search folders -------------------------------------------------------
inline constexpr ULONG STOP_SEARCH = 0x00000001;
inline constexpr ULONG RESTART_SEARCH = 0x00000002;
inline constexpr ULONG RECURSIVE_SEARCH = 0x00000004;
inline constexpr ULONG SHALLOW_SEARCH = 0x00000008;
inline constexpr ULONG FOREGROUND_SEARCH = 0x00000010;
inline constexpr ULONG BACKGROUND_SEARCH = 0x00000020;
inline constexpr ULONG SEARCH_RUNNING = 0x00000001;
inline constexpr ULONG SEARCH_REBUILD = 0x00000002;
inline constexpr ULONG SEARCH_RECURSIVE = 0x00000004;
inline constexpr ULONG SEARCH_FOREGROUND = 0x00000008;

// ---- PR_STORE_SUPPORT_MASK ------------------------------------------------
inline constexpr ULONG STORE_ENTRYID_UNIQUE = 0x00000001;
inline constexpr ULONG STORE_READONLY = 0x00000002;
inline constexpr ULONG STORE_SEARCH_OK = 0x00000004;
inline constexpr ULONG STORE_MODIFY_OK = 0x00000008;
inline constexpr ULONG STORE_CREATE_OK = 0x00000010;
inline constexpr ULONG STORE_ATTACH_OK = 0x00000020;
inline constexpr ULONG STORE_OLE_OK = 0x00000040;
inline constexpr ULONG STORE_SUBMIT_OK = 0x00000080;
inline constexpr ULONG STORE_NOTIFY_OK = 0x00000100;
inline constexpr ULONG STORE_MV_PROPS_OK = 0x00000200;
inline constexpr ULONG STORE_CATEGORIZE_OK = 0x00000400;
inline constexpr ULONG STORE_RTF_OK = 0x00000800;
inline constexpr ULONG STORE_RESTRICTION_OK = 0x00001000;
inline constexpr ULONG STORE_SORT_OK = 0x00002000;
inline constexpr ULONG STORE_PUBLIC_FOLDERS = 0x00004000;
inline constexpr ULONG STORE_UNCOMPRESSED_RTF = 0x00008000;
inline constexpr ULONG STORE_HTML_OK = 0x00010000;
inline constexpr ULONG STORE_ANSI_OK = 0x00020000;
inline constexpr ULONG STORE_UNICODE_OK = 0x00040000;
inline constexpr ULONG STORE_LOCALSTORE = 0x00080000;

// ---- services, providers and status rows ----------------------------------
// PR_RESOURCE_TYPE.
inline constexpr ULONG MAPI_STORE_PROVIDER = 33;
inline constexpr ULONG MAPI_AB = 34;
inline constexpr ULONG MAPI_AB_PROVIDER = 35;
inline constexpr ULONG MAPI_TRANSPORT_PROVIDER = 36;
inline constexpr ULONG MAPI_SPOOLER = 37;
inline constexpr ULONG MAPI_PROFILE_PROVIDER = 38;
inline constexpr ULONG MAPI_SUBSYSTEM = 39;
inline constexpr ULONG MAPI_HOOK_PROVIDER = 40;

// PR_RESOURCE_FLAGS of a service.
inline constexpr ULONG SERVICE_DEFAULT_STORE = 0x00000001;
inline constexpr ULONG SERVICE_SINGLE_COPY = 0x00000002;
inline constexpr ULONG SERVICE_CREATE_WITH_STORE = 0x00000004;
inline constexpr ULONG SERVICE_PRIMARY_IDENTITY = 0x00000008;
inline constexpr ULONG SERVICE_NO_PRIMARY_IDENTITY = 0x00000020;
// ConfigureMsgService flags.
inline constexpr ULONG SERVICE_UI_ALWAYS = 0x00000002;
inline constexpr ULONG SERVICE_UI_ALLOWED = 0x00000010;
inline constexpr ULONG MSG_SERVICE_UI_READ_ONLY = 0x00000008;

// PR_RESOURCE_FLAGS of a provider.
inline constexpr ULONG STATUS_DEFAULT_OUTBOUND = 0x00000001;
inline constexpr ULONG STATUS_DEFAULT_STORE = 0x00000002;
inline constexpr ULONG STATUS_PRIMARY_IDENTITY = 0x00000004;
inline constexpr ULONG STATUS_SIMPLE_STORE = 0x00000008;
inline constexpr ULONG STATUS_XP_PREFER_LAST = 0x00000010;
inline constexpr ULONG STATUS_NO_PRIMARY_IDENTITY = 0x00000020;
inline constexpr ULONG STATUS_NO_DEFAULT_STORE = 0x00000040;
inline constexpr ULONG STATUS_TEMP_SECTION = 0x00000080;
inline constexpr ULONG STATUS_OWN_STORE = 0x00000100;
inline constexpr ULONG STATUS_NEED_IPM_TREE = 0x00000800;
inline constexpr ULONG STATUS_PRIMARY_STORE = 0x00001000;
inline constexpr ULONG STATUS_SECONDARY_STORE = 0x00002000;

// PR_STATUS_CODE.
inline constexpr ULONG STATUS_AVAILABLE = 0x00000001;
inline constexpr ULONG STATUS_OFFLINE = 0x00000002;
inline constexpr ULONG STATUS_FAILURE = 0x00000004;
inline constexpr ULONG STATUS_INBOUND_ENABLED = 0x00010000;
inline constexpr ULONG STATUS_INBOUND_ACTIVE = 0x00020000;
inline constexpr ULONG STATUS_INBOUND_FLUSH = 0x00040000;
inline constexpr ULONG STATUS_OUTBOUND_ENABLED = 0x00100000;
inline constexpr ULONG STATUS_OUTBOUND_ACTIVE = 0x00200000;
inline constexpr ULONG STATUS_OUTBOUND_FLUSH = 0x00400000;
inline constexpr ULONG STATUS_REMOTE_ACCESS = 0x00800000;

// IMAPIStatus::ValidateState and PR_STATUS_SUPPORTED_OPERATIONS... of the
// status object.
inline constexpr ULONG STATUS_VALIDATE_STATE = 0x00000001;
inline constexpr ULONG STATUS_SETTINGS_DIALOG = 0x00000002;
inline constexpr ULONG STATUS_CHANGE_PASSWORD = 0x00000004;
inline constexpr ULONG STATUS_FLUSH_QUEUES = 0x00000008;

// Allocation routines as MAPI passes them around.
using ALLOCATEBUFFER = SCODE(ULONG cbSize, LPVOID* lppBuffer);
using ALLOCATEMORE = SCODE(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
using FREEBUFFER = ULONG(LPVOID lpBuffer);
using LPALLOCATEBUFFER = ALLOCATEBUFFER*;
using LPALLOCATEMORE = ALLOCATEMORE*;
using LPFREEBUFFER = FREEBUFFER*;
