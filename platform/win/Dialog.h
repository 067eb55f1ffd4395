// Dialogs, their controls and the wait cursor: the published names, values
// and signatures. A dialog is a window of the dialog class whose controls
// are child windows of the platform's control classes; each control keeps
// its state as a model that front ends see (FrontEnd.h) and answers the
// published messages system code sends it.
#pragma once

#include "platform/win/DialogTemplate.h"
#include "platform/win/MessageBox.h"
#include "platform/win/WinUser.h"

#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#endif
#ifndef MAKEINTRESOURCE
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#endif
#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#endif

using DLGPROC = std::intptr_t (*)(HWND, UINT, WPARAM, LPARAM);
using INT_PTR = std::intptr_t;
// A template made in code (the platform's model of a dialog template).
using LPCDLGTEMPLATEA = const vantrel::win::DialogTemplate*;
using LPCDLGTEMPLATE = LPCDLGTEMPLATEA;

// The class of dialogs and message boxes.
inline constexpr const char* WC_DIALOG = "#32770";
inline constexpr const char* WC_STATICA = "Static";
inline constexpr const char* WC_EDITA = "Edit";
inline constexpr const char* WC_BUTTONA = "Button";
inline constexpr const char* WC_COMBOBOXA = "ComboBox";
inline constexpr const char* WC_LISTBOXA = "ListBox";

inline constexpr int IDCLOSE = 8;
inline constexpr int IDHELP = 9;
inline constexpr int IDC_STATIC = -1;

inline constexpr int DWLP_DLGPROC = DWLP_MSGRESULT + static_cast<int>(sizeof(LRESULT));
inline constexpr int DWLP_USER = DWLP_DLGPROC + static_cast<int>(sizeof(DLGPROC));

// Dialog styles.
inline constexpr DWORD DS_SETFONT = 0x0040;
inline constexpr DWORD DS_MODALFRAME = 0x0080;
inline constexpr DWORD DS_FIXEDSYS = 0x0008;
inline constexpr DWORD DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS;
inline constexpr DWORD DS_CONTROL = 0x0400;
inline constexpr DWORD DS_CENTER = 0x0800;
inline constexpr DWORD WS_VSCROLL = 0x00200000;
inline constexpr DWORD WS_HSCROLL = 0x00100000;
inline constexpr DWORD WS_DLGFRAME = 0x00400000;
inline constexpr DWORD WS_EX_CLIENTEDGE = 0x00000200;

// Static.
inline constexpr DWORD SS_LEFT = 0x0000;
inline constexpr DWORD SS_CENTER = 0x0001;
inline constexpr DWORD SS_RIGHT = 0x0002;
inline constexpr DWORD SS_ICON = 0x0003;
inline constexpr DWORD SS_BLACKRECT = 0x0004;
inline constexpr DWORD SS_ETCHEDHORZ = 0x0010;
inline constexpr DWORD SS_TYPEMASK = 0x001F;
inline constexpr DWORD SS_NOPREFIX = 0x0080;

// Edit.
inline constexpr DWORD ES_LEFT = 0x0000;
inline constexpr DWORD ES_MULTILINE = 0x0004;
inline constexpr DWORD ES_UPPERCASE = 0x0008;
inline constexpr DWORD ES_LOWERCASE = 0x0010;
inline constexpr DWORD ES_PASSWORD = 0x0020;
inline constexpr DWORD ES_AUTOVSCROLL = 0x0040;
inline constexpr DWORD ES_AUTOHSCROLL = 0x0080;
inline constexpr DWORD ES_READONLY = 0x0800;
inline constexpr DWORD ES_WANTRETURN = 0x1000;
inline constexpr DWORD ES_NUMBER = 0x2000;
inline constexpr UINT EM_LIMITTEXT = 0x00C5;
inline constexpr UINT EM_SETLIMITTEXT = EM_LIMITTEXT;
inline constexpr UINT EM_GETLIMITTEXT = 0x00D5;
inline constexpr WORD EN_CHANGE = 0x0300;

// Button.
inline constexpr DWORD BS_PUSHBUTTON = 0x0000;
inline constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
inline constexpr DWORD BS_CHECKBOX = 0x0002;
inline constexpr DWORD BS_AUTOCHECKBOX = 0x0003;
inline constexpr DWORD BS_RADIOBUTTON = 0x0004;
inline constexpr DWORD BS_AUTORADIOBUTTON = 0x0009;
inline constexpr DWORD BS_3STATE = 0x0005;
inline constexpr DWORD BS_AUTO3STATE = 0x0006;
inline constexpr DWORD BS_GROUPBOX = 0x0007;
inline constexpr DWORD BS_TYPEMASK = 0x000F;
inline constexpr UINT BM_GETCHECK = 0x00F0;
inline constexpr UINT BM_SETCHECK = 0x00F1;
inline constexpr UINT BM_GETSTATE = 0x00F2;
inline constexpr UINT BM_CLICK = 0x00F5;
inline constexpr UINT BST_UNCHECKED = 0x0000;
inline constexpr UINT BST_CHECKED = 0x0001;
inline constexpr UINT BST_INDETERMINATE = 0x0002;
inline constexpr WORD BN_CLICKED = 0;

// Combo box.
inline constexpr DWORD CBS_SIMPLE = 0x0001;
inline constexpr DWORD CBS_DROPDOWN = 0x0002;
inline constexpr DWORD CBS_DROPDOWNLIST = 0x0003;
inline constexpr DWORD CBS_AUTOHSCROLL = 0x0040;
inline constexpr DWORD CBS_SORT = 0x0100;
inline constexpr DWORD CBS_HASSTRINGS = 0x0200;
inline constexpr UINT CB_ADDSTRING = 0x0143;
inline constexpr UINT CB_DELETESTRING = 0x0144;
inline constexpr UINT CB_GETCOUNT = 0x0146;
inline constexpr UINT CB_GETCURSEL = 0x0147;
inline constexpr UINT CB_GETLBTEXT = 0x0148;
inline constexpr UINT CB_GETLBTEXTLEN = 0x0149;
inline constexpr UINT CB_INSERTSTRING = 0x014A;
inline constexpr UINT CB_RESETCONTENT = 0x014B;
inline constexpr UINT CB_FINDSTRING = 0x014C;
inline constexpr UINT CB_SETCURSEL = 0x014E;
inline constexpr UINT CB_SHOWDROPDOWN = 0x014F;
inline constexpr UINT CB_GETDROPPEDSTATE = 0x0157;
inline constexpr UINT CB_GETITEMDATA = 0x0150;
inline constexpr UINT CB_SETITEMDATA = 0x0151;
inline constexpr UINT CB_FINDSTRINGEXACT = 0x0158;
inline constexpr int CB_OKAY = 0;
inline constexpr int CB_ERR = -1;
inline constexpr WORD CBN_SELCHANGE = 1;
inline constexpr WORD CBN_EDITCHANGE = 5;
inline constexpr WORD CBN_DROPDOWN = 7;
inline constexpr WORD CBN_CLOSEUP = 8;

// List box (template keyword LISTBOX).
inline constexpr DWORD LBS_NOTIFY = 0x0001;
inline constexpr DWORD LBS_SORT = 0x0002;
inline constexpr DWORD LBS_MULTIPLESEL = 0x0008;
inline constexpr DWORD LBS_HASSTRINGS = 0x0040;
inline constexpr DWORD LBS_EXTENDEDSEL = 0x0800;
inline constexpr DWORD LBS_NOINTEGRALHEIGHT = 0x0100;
inline constexpr UINT LB_ADDSTRING = 0x0180;
inline constexpr UINT LB_INSERTSTRING = 0x0181;
inline constexpr UINT LB_DELETESTRING = 0x0182;
inline constexpr UINT LB_RESETCONTENT = 0x0184;
inline constexpr UINT LB_SETCURSEL = 0x0186;
inline constexpr UINT LB_GETCURSEL = 0x0188;
inline constexpr UINT LB_GETTEXT = 0x0189;
inline constexpr UINT LB_GETTEXTLEN = 0x018A;
inline constexpr UINT LB_GETCOUNT = 0x018B;
inline constexpr UINT LB_FINDSTRING = 0x018F;
inline constexpr UINT LB_GETITEMDATA = 0x0199;
inline constexpr UINT LB_SETITEMDATA = 0x019A;
inline constexpr UINT LB_FINDSTRINGEXACT = 0x01A2;
inline constexpr int LB_OKAY = 0;
inline constexpr int LB_ERR = -1;
inline constexpr WORD LBN_SELCHANGE = 1;

// Dialogs.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param);
inline INT_PTR DialogBoxParam(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  return DialogBoxParamA(instance, templateName, owner, proc, param);
}
inline INT_PTR DialogBox(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc) {
  return DialogBoxParamA(instance, templateName, owner, proc, 0);
}
INT_PTR DialogBoxIndirectParamA(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param);
inline INT_PTR DialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  return DialogBoxIndirectParamA(instance, tmpl, owner, proc, param);
}
HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param);
inline HWND CreateDialogParam(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  return CreateDialogParamA(instance, templateName, owner, proc, param);
}
inline HWND CreateDialog(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC proc) {
  return CreateDialogParamA(instance, templateName, owner, proc, 0);
}
HWND CreateDialogIndirectParamA(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param);
inline HWND CreateDialogIndirectParam(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  return CreateDialogIndirectParamA(instance, tmpl, owner, proc, param);
}
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size);
inline UINT GetDlgItemText(HWND dialog, int id, LPSTR buffer, int size) { return GetDlgItemTextA(dialog, id, buffer, size); }
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
inline BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text) { return SetDlgItemTextA(dialog, id, text); }
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
inline LRESULT SendDlgItemMessage(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
  return SendDlgItemMessageA(dialog, id, msg, wParam, lParam);
}
BOOL IsDialogMessageA(HWND dialog, LPMSG msg);
inline BOOL IsDialogMessage(HWND dialog, LPMSG msg) { return IsDialogMessageA(dialog, msg); }
LRESULT DefDlgProcA(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// The cursor is a state of the process front ends show (the wait cursor
// while a long operation runs), not a picture.
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_WAIT MAKEINTRESOURCEA(32514)
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
inline HCURSOR LoadCursor(HINSTANCE instance, LPCSTR name) { return LoadCursorA(instance, name); }
HCURSOR SetCursor(HCURSOR cursor);
HCURSOR GetCursor();
