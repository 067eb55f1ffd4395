// The MAPI interfaces as abstract classes, in their published method order
// with the published signatures. Each carries its IID as `kIID`.
#pragma once

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/storage/ObjIdl.h"

struct IMAPIProp;
struct IMAPITable;
struct IMAPIAdviseSink;
struct IMAPIProgress;
struct IMAPIFolder;
struct IMessage;
struct IAttach;
struct IMsgStore;
struct IProfSect;
struct IMAPIStatus;
struct IMAPISession;
struct IProfAdmin;
struct IMsgServiceAdmin;
struct IProviderAdmin;
struct IAddrBook;
struct IMAPIContainer;
struct IABContainer;
struct IMailUser;
struct IMAPITableData;

using LPMAPIPROP = IMAPIProp*;
using LPMAPITABLE = IMAPITable*;
using LPMAPIADVISESINK = IMAPIAdviseSink*;
using LPMAPIPROGRESS = IMAPIProgress*;
using LPMAPIFOLDER = IMAPIFolder*;
using LPMESSAGE = IMessage*;
using LPATTACH = IAttach*;
using LPMDB = IMsgStore*;
using LPPROFSECT = IProfSect*;
using LPMAPISTATUS = IMAPIStatus*;
using LPMAPISESSION = IMAPISession*;
using LPPROFADMIN = IProfAdmin*;
using LPSERVICEADMIN = IMsgServiceAdmin*;
using LPPROVIDERADMIN = IProviderAdmin*;
using LPADRBOOK = IAddrBook*;
using LPMAPICONTAINER = IMAPIContainer*;
using LPABCONT = IABContainer*;
using LPMAILUSER = IMailUser*;
using LPTABLEDATA = IMAPITableData*;
using ITableData = IMAPITableData;
using LPCIID = const IID*;

struct IMAPIAdviseSink : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPIAdviseSink;
  STDMETHOD_(ULONG, OnNotify)(ULONG cNotif, LPNOTIFICATION lpNotifications) = 0;
};

struct IMAPIProgress : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPIProgress;
  STDMETHOD(Progress)(ULONG ulValue, ULONG ulCount, ULONG ulTotal) = 0;
  STDMETHOD(GetFlags)(ULONG* lpulFlags) = 0;
  STDMETHOD(GetMax)(ULONG* lpulMax) = 0;
  STDMETHOD(GetMin)(ULONG* lpulMin) = 0;
  STDMETHOD(SetLimits)(ULONG* lpulMin, ULONG* lpulMax, ULONG* lpulFlags) = 0;
};
inline constexpr ULONG MAPI_TOP_LEVEL = 0x00000001;

struct IMAPIProp : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPIProp;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(SaveChanges)(ULONG ulFlags) = 0;
  STDMETHOD(GetProps)(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) = 0;
  STDMETHOD(GetPropList)(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) = 0;
  STDMETHOD(OpenProperty)
  (ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(SetProps)(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(DeleteProps)(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(CopyTo)
  (ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG_PTR ulUIParam,
   LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
   LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(CopyProps)
  (LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
   ULONG ulFlags, LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(GetNamesFromIDs)
  (LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
   LPMAPINAMEID** lpppPropNames) = 0;
  STDMETHOD(GetIDsFromNames)
  (ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags) = 0;
};

struct IMAPIContainer : public IMAPIProp {
  static constexpr const IID& kIID = IID_IMAPIContainer;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
  STDMETHOD(GetContentsTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(GetHierarchyTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(OpenEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(SetSearchCriteria)(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList, ULONG ulSearchFlags) = 0;
  STDMETHOD(GetSearchCriteria)
  (ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList, ULONG* lpulSearchState) = 0;
};

struct IMAPIFolder : public IMAPIContainer {
  static constexpr const IID& kIID = IID_IMAPIFolder;
  using BaseInterface = IMAPIContainer;  // QueryInterface answers it too
  STDMETHOD(CreateMessage)(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) = 0;
  STDMETHOD(CopyMessages)
  (LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
   ULONG ulFlags) = 0;
  STDMETHOD(DeleteMessages)(LPENTRYLIST lpMsgList, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(CreateFolder)
  (ULONG ulFolderType, LPSTR lpszFolderName, LPSTR lpszFolderComment, LPCIID lpInterface, ULONG ulFlags,
   LPMAPIFOLDER* lppFolder) = 0;
  STDMETHOD(CopyFolder)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder, LPSTR lpszNewFolderName,
   ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(DeleteFolder)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(SetReadFlags)(LPENTRYLIST lpMsgList, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(GetMessageStatus)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags, ULONG* lpulMessageStatus) = 0;
  STDMETHOD(SetMessageStatus)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulNewStatus, ULONG ulNewStatusMask, ULONG* lpulOldStatus) = 0;
  STDMETHOD(SaveContentsSort)(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  STDMETHOD(EmptyFolder)(ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
};

struct IMessage : public IMAPIProp {
  static constexpr const IID& kIID = IID_IMessage;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
  STDMETHOD(GetAttachmentTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(OpenAttach)(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) = 0;
  STDMETHOD(CreateAttach)(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) = 0;
  STDMETHOD(DeleteAttach)(ULONG ulAttachmentNum, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(GetRecipientTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(ModifyRecipients)(ULONG ulFlags, LPADRLIST lpMods) = 0;
  STDMETHOD(SubmitMessage)(ULONG ulFlags) = 0;
  STDMETHOD(SetReadFlag)(ULONG ulFlags) = 0;
};

struct IAttach : public IMAPIProp {
  static constexpr const IID& kIID = IID_IAttachment;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
};

struct IMsgStore : public IMAPIProp {
  static constexpr const IID& kIID = IID_IMsgStore;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
  STDMETHOD(Advise)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  STDMETHOD(Unadvise)(ULONG ulConnection) = 0;
  STDMETHOD(CompareEntryIDs)
  (ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2, ULONG ulFlags,
   ULONG* lpulResult) = 0;
  STDMETHOD(OpenEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(SetReceiveFolder)(LPSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(GetReceiveFolder)
  (LPSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID, LPSTR* lppszExplicitClass) = 0;
  STDMETHOD(GetReceiveFolderTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(StoreLogoff)(ULONG* lpulFlags) = 0;
  STDMETHOD(AbortSubmit)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulFlags) = 0;
  STDMETHOD(GetOutgoingQueue)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(SetLockState)(LPMESSAGE lpMessage, ULONG ulLockState) = 0;
  STDMETHOD(FinishedMsg)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(NotifyNewMail)(LPNOTIFICATION lpNotification) = 0;
};

struct IMAPITable : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPITable;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(Advise)(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  STDMETHOD(Unadvise)(ULONG ulConnection) = 0;
  STDMETHOD(GetStatus)(ULONG* lpulTableStatus, ULONG* lpulTableType) = 0;
  STDMETHOD(SetColumns)(LPSPropTagArray lpPropTagArray, ULONG ulFlags) = 0;
  STDMETHOD(QueryColumns)(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) = 0;
  STDMETHOD(GetRowCount)(ULONG ulFlags, ULONG* lpulCount) = 0;
  STDMETHOD(SeekRow)(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) = 0;
  STDMETHOD(SeekRowApprox)(ULONG ulNumerator, ULONG ulDenominator) = 0;
  STDMETHOD(QueryPosition)(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) = 0;
  STDMETHOD(FindRow)(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) = 0;
  STDMETHOD(Restrict)(LPSRestriction lpRestriction, ULONG ulFlags) = 0;
  STDMETHOD(CreateBookmark)(BOOKMARK* lpbkPosition) = 0;
  STDMETHOD(FreeBookmark)(BOOKMARK bkPosition) = 0;
  STDMETHOD(SortTable)(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  STDMETHOD(QuerySortOrder)(LPSSortOrderSet* lppSortCriteria) = 0;
  STDMETHOD(QueryRows)(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) = 0;
  STDMETHOD(Abort)() = 0;
  STDMETHOD(ExpandRow)
  (ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags, LPSRowSet* lppRows,
   ULONG* lpulMoreRows) = 0;
  STDMETHOD(CollapseRow)(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) = 0;
  STDMETHOD(WaitForCompletion)(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) = 0;
  STDMETHOD(GetCollapseState)
  (ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState) = 0;
  STDMETHOD(SetCollapseState)(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState, BOOKMARK* lpbkLocation) = 0;
};

struct IProfSect : public IMAPIProp {
  static constexpr const IID& kIID = IID_IProfSect;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
};

struct IMAPIStatus : public IMAPIProp {
  static constexpr const IID& kIID = IID_IMAPIStatus;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
  STDMETHOD(ValidateState)(ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(SettingsDialog)(ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(ChangePassword)(LPSTR lpOldPass, LPSTR lpNewPass, ULONG ulFlags) = 0;
  STDMETHOD(FlushQueues)(ULONG_PTR ulUIParam, ULONG cbTargetTransport, LPENTRYID lpTargetTransport, ULONG ulFlags) = 0;
};

struct IMAPISession : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPISession;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(GetMsgStoresTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(OpenMsgStore)
  (ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, LPMDB* lppMDB) = 0;
  STDMETHOD(OpenAddressBook)(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) = 0;
  STDMETHOD(OpenProfileSection)(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags, LPPROFSECT* lppProfSect) = 0;
  STDMETHOD(GetStatusTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(OpenEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(CompareEntryIDs)
  (ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2, ULONG ulFlags,
   ULONG* lpulResult) = 0;
  STDMETHOD(Advise)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  STDMETHOD(Unadvise)(ULONG ulConnection) = 0;
  STDMETHOD(MessageOptions)(ULONG_PTR ulUIParam, ULONG ulFlags, LPSTR lpszAdrType, LPMESSAGE lpMessage) = 0;
  STDMETHOD(QueryDefaultMessageOpt)(LPSTR lpszAdrType, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppOptions) = 0;
  STDMETHOD(EnumAdrTypes)(ULONG ulFlags, ULONG* lpcAdrTypes, LPSTR** lpppszAdrTypes) = 0;
  STDMETHOD(QueryIdentity)(ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  STDMETHOD(Logoff)(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) = 0;
  STDMETHOD(SetDefaultStore)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(AdminServices)(ULONG ulFlags, LPSERVICEADMIN* lppServiceAdmin) = 0;
  STDMETHOD(ShowForm)
  (ULONG_PTR ulUIParam, LPMDB lpMsgStore, LPMAPIFOLDER lpParentFolder, LPCIID lpInterface, ULONG ulMessageToken,
   LPMESSAGE lpMessageSent, ULONG ulFlags, ULONG ulMessageStatus, ULONG ulMessageFlags, ULONG ulAccess,
   LPSTR lpszMessageClass) = 0;
  STDMETHOD(PrepareForm)(LPCIID lpInterface, LPMESSAGE lpMessage, ULONG* lpulMessageToken) = 0;
};
// SetDefaultStore flags.
inline constexpr ULONG MAPI_DEFAULT_STORE = 0x00000001;
inline constexpr ULONG MAPI_SIMPLE_STORE_TEMPORARY = 0x00000002;
inline constexpr ULONG MAPI_SIMPLE_STORE_PERMANENT = 0x00000003;
inline constexpr ULONG MAPI_PRIMARY_STORE = 0x00000004;
inline constexpr ULONG MAPI_SECONDARY_STORE = 0x00000005;

struct IProfAdmin : public IUnknown {
  static constexpr const IID& kIID = IID_IProfAdmin;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(GetProfileTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(CreateProfile)(LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(DeleteProfile)(LPSTR lpszProfileName, ULONG ulFlags) = 0;
  STDMETHOD(ChangeProfilePassword)
  (LPSTR lpszProfileName, LPSTR lpszOldPassword, LPSTR lpszNewPassword, ULONG ulFlags) = 0;
  STDMETHOD(CopyProfile)
  (LPSTR lpszOldProfileName, LPSTR lpszOldPassword, LPSTR lpszNewProfileName, ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(RenameProfile)
  (LPSTR lpszOldProfileName, LPSTR lpszOldPassword, LPSTR lpszNewProfileName, ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(SetDefaultProfile)(LPSTR lpszProfileName, ULONG ulFlags) = 0;
  STDMETHOD(AdminServices)
  (LPSTR lpszProfileName, LPSTR lpszPassword, ULONG_PTR ulUIParam, ULONG ulFlags, LPSERVICEADMIN* lppServiceAdmin) = 0;
};
inline constexpr ULONG MAPI_DEFAULT_SERVICES = 0x00000001;

struct IMsgServiceAdmin : public IUnknown {
  static constexpr const IID& kIID = IID_IMsgServiceAdmin;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(GetMsgServiceTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(CreateMsgService)(LPSTR lpszService, LPSTR lpszDisplayName, ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(DeleteMsgService)(LPMAPIUID lpUID) = 0;
  STDMETHOD(CopyMsgService)
  (LPMAPIUID lpUID, LPSTR lpszDisplayName, LPCIID lpInterfaceToCopy, LPCIID lpInterfaceDst, LPVOID lpObjectDst,
   ULONG_PTR ulUIParam, ULONG ulFlags) = 0;
  STDMETHOD(RenameMsgService)(LPMAPIUID lpUID, ULONG ulFlags, LPSTR lpszDisplayName) = 0;
  STDMETHOD(ConfigureMsgService)
  (LPMAPIUID lpUID, ULONG_PTR ulUIParam, ULONG ulFlags, ULONG cValues, LPSPropValue lpProps) = 0;
  STDMETHOD(OpenProfileSection)(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags, LPPROFSECT* lppProfSect) = 0;
  STDMETHOD(MsgServiceTransportOrder)(ULONG cUID, LPMAPIUID lpUIDList, ULONG ulFlags) = 0;
  STDMETHOD(AdminProviders)(LPMAPIUID lpUID, ULONG ulFlags, LPPROVIDERADMIN* lppProviderAdmin) = 0;
  STDMETHOD(SetPrimaryIdentity)(LPMAPIUID lpUID, ULONG ulFlags) = 0;
  STDMETHOD(GetProviderTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
};

struct IProviderAdmin : public IUnknown {
  static constexpr const IID& kIID = IID_IProviderAdmin;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(GetProviderTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(CreateProvider)
  (LPSTR lpszProvider, ULONG cValues, LPSPropValue lpProps, ULONG_PTR ulUIParam, ULONG ulFlags, MAPIUID* lpUID) = 0;
  STDMETHOD(DeleteProvider)(LPMAPIUID lpUID) = 0;
  STDMETHOD(OpenProfileSection)(LPMAPIUID lpUID, LPCIID lpInterface, ULONG ulFlags, LPPROFSECT* lppProfSect) = 0;
};

// The support object MAPI hands a provider.
struct IMAPISupport : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPISup;
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  STDMETHOD(GetMemAllocRoutines)
  (LPALLOCATEBUFFER* lpAllocateBuffer, LPALLOCATEMORE* lpAllocateMore, LPFREEBUFFER* lpFreeBuffer) = 0;
  STDMETHOD(Subscribe)
  (LPNOTIFKEY lpKey, ULONG ulEventMask, ULONG ulFlags, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) = 0;
  STDMETHOD(Unsubscribe)(ULONG ulConnection) = 0;
  STDMETHOD(Notify)(LPNOTIFKEY lpKey, ULONG cNotification, LPNOTIFICATION lpNotifications, ULONG* lpulFlags) = 0;
  STDMETHOD(ModifyStatusRow)(ULONG cValues, LPSPropValue lpColumnVals, ULONG ulFlags) = 0;
  STDMETHOD(OpenProfileSection)(LPMAPIUID lpUid, ULONG ulFlags, LPPROFSECT* lppProfileObj) = 0;
  STDMETHOD(RegisterPreprocessor)
  (LPMAPIUID lpMuid, LPSTR lpszAdrType, LPSTR lpszDLLName, LPSTR lpszPreprocess, LPSTR lpszRemovePreprocessInfo,
   ULONG ulFlags) = 0;
  STDMETHOD(NewUID)(LPMAPIUID lpMuid) = 0;
  STDMETHOD(MakeInvalid)(ULONG ulFlags, LPVOID lpObject, ULONG ulRefCount, ULONG cMethods) = 0;
  STDMETHOD(SpoolerYield)(ULONG ulFlags) = 0;
  STDMETHOD(SpoolerNotify)(ULONG ulFlags, LPVOID lpvData) = 0;
  STDMETHOD(CreateOneOff)
  (LPSTR lpszName, LPSTR lpszAdrType, LPSTR lpszAddress, ULONG ulFlags, ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;
  STDMETHOD(SetProviderUID)(LPMAPIUID lpProviderID, ULONG ulFlags) = 0;
  STDMETHOD(CompareEntryIDs)
  (ULONG cbEntry1, LPENTRYID lpEntry1, ULONG cbEntry2, LPENTRYID lpEntry2, ULONG ulCompareFlags, ULONG* lpulResult) = 0;
  STDMETHOD(OpenTemplateID)
  (ULONG cbTemplateID, LPENTRYID lpTemplateID, ULONG ulTemplateFlags, LPMAPIPROP lpMAPIPropData, LPCIID lpInterface,
   LPMAPIPROP* lppMAPIPropNew, LPMAPIPROP lpMAPIPropSibling) = 0;
  STDMETHOD(OpenEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulOpenFlags, ULONG* lpulObjType,
   LPUNKNOWN* lppUnk) = 0;
  STDMETHOD(GetOneOffTable)(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  STDMETHOD(Address)(ULONG_PTR* lpulUIParam, LPVOID lpAdrParms, LPADRLIST* lppAdrList) = 0;
  STDMETHOD(Details)
  (ULONG_PTR* lpulUIParam, LPVOID lpfnDismiss, LPVOID lpvDismissContext, ULONG cbEntryID, LPENTRYID lpEntryID,
   LPVOID lpfButtonCallback, LPVOID lpvButtonContext, LPSTR lpszButtonText, ULONG ulFlags) = 0;
  STDMETHOD(NewEntry)
  (ULONG_PTR ulUIParam, ULONG ulFlags, ULONG cbEIDContainer, LPENTRYID lpEIDContainer, ULONG cbEIDNewEntryTpl,
   LPENTRYID lpEIDNewEntryTpl, ULONG* lpcbEIDNewEntry, LPENTRYID* lppEIDNewEntry) = 0;
  STDMETHOD(DoConfigPropsheet)
  (ULONG_PTR ulUIParam, ULONG ulFlags, LPSTR lpszTitle, LPMAPITABLE lpDisplayTable, LPMAPIPROP lpCOnfigData,
   ULONG ulTopPage) = 0;
  STDMETHOD(CopyMessages)
  (LPCIID lpSrcInterface, LPVOID lpSrcFolder, LPENTRYLIST lpMsgList, LPCIID lpDestInterface, LPVOID lpDestFolder,
   ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(CopyFolder)
  (LPCIID lpSrcInterface, LPVOID lpSrcFolder, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpDestInterface,
   LPVOID lpDestFolder, LPSTR lszNewFolderName, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(DoCopyTo)
  (LPCIID lpSrcInterface, LPVOID lpSrcObj, ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps,
   ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpDestInterface, LPVOID lpDestObj, ULONG ulFlags,
   LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(DoCopyProps)
  (LPCIID lpSrcInterface, LPVOID lpSrcObj, LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam,
   LPMAPIPROGRESS lpProgress, LPCIID lpDestInterface, LPVOID lpDestObj, ULONG ulFlags,
   LPSPropProblemArray* lppProblems) = 0;
  STDMETHOD(DoProgressDialog)(ULONG_PTR ulUIParam, ULONG ulFlags, LPMAPIPROGRESS* lppProgressObj) = 0;
  STDMETHOD(ReadReceipt)(ULONG ulFlags, LPMESSAGE lpReadMessage, LPMESSAGE* lppEmptyMessage) = 0;
  STDMETHOD(PrepareSubmit)(LPMESSAGE lpMessage, ULONG* lpulFlags) = 0;
  STDMETHOD(ExpandRecips)(LPMESSAGE lpMessage, ULONG* lpulFlags) = 0;
  STDMETHOD(UpdatePAB)(ULONG ulFlags, LPMESSAGE lpMessage) = 0;
  STDMETHOD(DoSentMail)(ULONG ulFlags, LPMESSAGE lpMessage) = 0;
  STDMETHOD(OpenAddressBook)(LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) = 0;
  STDMETHOD(Preprocess)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(CompleteMsg)(ULONG ulFlags, ULONG cbEntryID, LPENTRYID lpEntryID) = 0;
  STDMETHOD(StoreLogoffTransports)(ULONG* lpulFlags) = 0;
  STDMETHOD(StatusRecips)(LPMESSAGE lpMessage, LPADRLIST lpRecipList) = 0;
  STDMETHOD(WrapStoreEntryID)
  (ULONG cbOrigEntry, LPENTRYID lpOrigEntry, ULONG* lpcbWrappedEntry, LPENTRYID* lppWrappedEntry) = 0;
  STDMETHOD(ModifyProfile)(ULONG ulFlags) = 0;
  STDMETHOD(IStorageFromStream)(LPUNKNOWN lpUnkIn, LPCIID lpInterface, ULONG ulFlags, LPSTORAGE* lppStorageOut) = 0;
  STDMETHOD(GetSvcConfigSupportObj)(ULONG ulFlags, IMAPISupport** lppSvcSupport) = 0;
};
using LPMAPISUP = IMAPISupport*;

struct IABContainer : public IMAPIContainer {
  static constexpr const IID& kIID = IID_IABContainer;
  using BaseInterface = IMAPIContainer;  // QueryInterface answers it too
  STDMETHOD(CreateEntry)(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags, LPMAPIPROP* lppMAPIPropEntry) = 0;
  STDMETHOD(CopyEntries)(LPENTRYLIST lpEntries, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  STDMETHOD(DeleteEntries)(LPENTRYLIST lpEntries, ULONG ulFlags) = 0;
  STDMETHOD(ResolveNames)
  (LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList, LPFlagList lpFlagList) = 0;
};

struct IMailUser : public IMAPIProp {
  static constexpr const IID& kIID = IID_IMailUser;
  using BaseInterface = IMAPIProp;  // QueryInterface answers it too
};

// In-memory table data behind CreateTable.
struct IMAPITableData : public IUnknown {
  static constexpr const IID& kIID = IID_IMAPITableData;
  STDMETHOD(HrGetView)
  (LPSSortOrderSet lpSSortOrderSet, void* lpfCallerRelease, ULONG ulCallerData, LPMAPITABLE* lppMAPITable) = 0;
  STDMETHOD(HrModifyRow)(LPSRow lpSRow) = 0;
  STDMETHOD(HrDeleteRow)(LPSPropValue lpSPropValue) = 0;
  STDMETHOD(HrQueryRow)(LPSPropValue lpsPropValue, LPSRow* lppSRow, ULONG* lpuliRow) = 0;
  STDMETHOD(HrEnumRow)(ULONG ulRowNumber, LPSRow* lppSRow) = 0;
  STDMETHOD(HrNotify)(ULONG ulFlags, ULONG cValues, LPSPropValue lpSPropValue) = 0;
  STDMETHOD(HrInsertRow)(ULONG uliRow, LPSRow lpSRow) = 0;
  STDMETHOD(HrModifyRows)(ULONG ulFlags, LPSRowSet lpSRowSet) = 0;
  STDMETHOD(HrDeleteRows)(ULONG ulFlags, LPSRowSet lprowsetToDelete, ULONG* cRowsDeleted) = 0;
};
