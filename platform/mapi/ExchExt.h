// The mail client's extension interfaces, as the home platform publishes
// them: the extension (IExchExt), its commands (IExchExtCommands) and the
// client's callback (IExchExtCallback), with their identifiers, slot
// orders, contexts and flags. The interfaces are the client's; a module
// implements the first two and calls the third.
#pragma once

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/win/WinUser.h"

inline constexpr IID IID_IExchExtCallback = MakeOleGuid(0x00020D10);
inline constexpr IID IID_IExchExt = MakeOleGuid(0x00020D11);
inline constexpr IID IID_IExchExtCommands = MakeOleGuid(0x00020D12);

// Extension contexts (the position of each digit of a registration's
// context map).
inline constexpr ULONG EECONTEXT_SESSION = 0x00000001;
inline constexpr ULONG EECONTEXT_VIEWER = 0x00000002;
inline constexpr ULONG EECONTEXT_REMOTEVIEWER = 0x00000003;
inline constexpr ULONG EECONTEXT_SEARCHVIEWER = 0x00000004;
inline constexpr ULONG EECONTEXT_ADDRBOOK = 0x00000005;
inline constexpr ULONG EECONTEXT_SENDNOTEMESSAGE = 0x00000006;
inline constexpr ULONG EECONTEXT_READNOTEMESSAGE = 0x00000007;
inline constexpr ULONG EECONTEXT_SENDPOSTMESSAGE = 0x00000008;
inline constexpr ULONG EECONTEXT_READPOSTMESSAGE = 0x00000009;
inline constexpr ULONG EECONTEXT_READREPORTMESSAGE = 0x0000000A;
inline constexpr ULONG EECONTEXT_SENDRESENDMESSAGE = 0x0000000B;
inline constexpr ULONG EECONTEXT_PROPERTYSHEETS = 0x0000000C;
inline constexpr ULONG EECONTEXT_ADVANCEDCRITERIA = 0x0000000D;
inline constexpr ULONG EECONTEXT_TASK = 0x0000000E;

// Install flags.
inline constexpr ULONG EE_MODAL = 0x00000001;

// GetVersion.
inline constexpr ULONG EECBGV_GETBUILDVERSION = 0x00000001;
inline constexpr ULONG EECBGV_GETACTUALVERSION = 0x00000002;
inline constexpr ULONG EECBGV_GETVIRTUALVERSION = 0x00000004;
inline constexpr ULONG EECBGV_BUILDVERSION_MAJOR = 0x000D0000;
inline constexpr ULONG EECBGV_BUILDVERSION_MAJOR_MASK = 0xFFFF0000;
inline constexpr ULONG EECBGV_BUILDVERSION_MINOR_MASK = 0x0000FFFF;

// QueryHelpText.
inline constexpr ULONG EECQHT_STATUS = 0x00000001;
inline constexpr ULONG EECQHT_TOOLTIP = 0x00000002;

struct TBENTRY {
  HWND hwnd;
  ULONG tbid;
  ULONG ulFlags;
  UINT itbbBase;
};
using LPTBENTRY = TBENTRY*;
struct TBBUTTON;
using LPTBBUTTON = TBBUTTON*;

struct IPersistMessage;
struct IMAPIMessageSite;
struct IMAPIViewContext;
struct IExchExtModeless;
struct IExchExtModelessCallback;

struct IExchExtCallback : public IUnknown {
  static constexpr const IID& kIID = IID_IExchExtCallback;
  STDMETHOD(GetVersion)(ULONG* lpulVersion, ULONG ulFlags) = 0;
  STDMETHOD(GetWindow)(HWND* lphwnd) = 0;
  STDMETHOD(GetMenu)(HMENU* lphmenu) = 0;
  STDMETHOD(GetToolbar)(ULONG tbid, HWND* lphwndTb) = 0;
  STDMETHOD(GetSession)(LPMAPISESSION* lppses, LPADRBOOK* lppab) = 0;
  STDMETHOD(GetObject)(LPMDB* lppmdb, LPMAPIPROP* lppmp) = 0;
  STDMETHOD(GetSelectionCount)(ULONG* lpceid) = 0;
  STDMETHOD(GetSelectionItem)(ULONG ieid, ULONG* lpcbEid, LPENTRYID* lppeid, ULONG* lpulType, LPSTR lpszBuffer,
                              ULONG cbBuffer, ULONG* lpulFlags, ULONG ulFlags) = 0;
  STDMETHOD(GetMenuPos)(ULONG cmdid, HMENU* lphmenu, ULONG* lpmposMin, ULONG* lpmposMax, ULONG ulFlags) = 0;
  STDMETHOD(GetSharedExtsDir)(LPSTR lpszDir, ULONG cchDir, ULONG ulFlags) = 0;
  STDMETHOD(GetRecipients)(LPADRLIST* lppal) = 0;
  STDMETHOD(SetRecipients)(LPADRLIST lpal) = 0;
  STDMETHOD(GetNewMessageSite)(ULONG fComposeInFolder, LPMAPIFOLDER pfldFocus, IPersistMessage* ppermsg,
                               LPMESSAGE* ppmsg, IMAPIMessageSite** ppmms, IMAPIViewContext** ppmvc,
                               ULONG ulFlags) = 0;
  STDMETHOD(RegisterModeless)(IExchExtModeless* peem, IExchExtModelessCallback** ppeemcb) = 0;
  STDMETHOD(ChooseFolder)(HWND hwnd, LPMDB* ppmdb, LPMAPIFOLDER* ppfld, LPSTR lpszTitle, ULONG ulFlags) = 0;
};
using LPEXCHEXTCALLBACK = IExchExtCallback*;

struct IExchExt : public IUnknown {
  static constexpr const IID& kIID = IID_IExchExt;
  STDMETHOD(Install)(LPEXCHEXTCALLBACK lpeecb, ULONG mecontext, ULONG ulFlags) = 0;
};
using LPEXCHEXT = IExchExt*;

struct IExchExtCommands : public IUnknown {
  static constexpr const IID& kIID = IID_IExchExtCommands;
  STDMETHOD(InstallCommands)(LPEXCHEXTCALLBACK lpeecb, HWND hwnd, HMENU hmenu, UINT* lpcmdidBase,
                             LPTBENTRY lptbeArray, UINT ctbe, ULONG ulFlags) = 0;
  STDMETHOD_(void, InitMenu)(LPEXCHEXTCALLBACK lpeecb) = 0;
  STDMETHOD(DoCommand)(LPEXCHEXTCALLBACK lpeecb, UINT cmdid) = 0;
  STDMETHOD(Help)(LPEXCHEXTCALLBACK lpeecb, UINT cmdid) = 0;
  STDMETHOD(QueryHelpText)(UINT cmdid, ULONG ulFlags, LPSTR lpsz, UINT cch) = 0;
  STDMETHOD(QueryButtonInfo)(ULONG tbid, UINT itbb, LPTBBUTTON ptbb, LPSTR lpsz, UINT cch, ULONG ulFlags) = 0;
  STDMETHOD_(void, ResetToolbar)(ULONG tbid, ULONG ulFlags) = 0;
};
using LPEXCHEXTCOMMANDS = IExchExtCommands*;

// The extension's entry point, the export at the registration's ordinal.
using LPFNEXCHEXTENTRY = LPEXCHEXT (*)();
