// Message boxes. Dialogs are models first: the headless front end answers
// each box by policy (the default button unless a handler says otherwise)
// and logs it, so servers and tests never block on a box nobody can see.
#pragma once

#include <functional>
#include <string>

#include "platform/win/WinUser.h"

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_OKCANCEL = 0x00000001;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
inline constexpr UINT MB_YESNOCANCEL = 0x00000003;
inline constexpr UINT MB_YESNO = 0x00000004;
inline constexpr UINT MB_RETRYCANCEL = 0x00000005;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
inline constexpr UINT MB_ICONWARNING = 0x00000030;
inline constexpr UINT MB_ICONASTERISK = 0x00000040;
inline constexpr UINT MB_ICONINFORMATION = 0x00000040;
inline constexpr UINT MB_ICONMASK = 0x000000F0;
inline constexpr UINT MB_DEFMASK = 0x00000F00;
inline constexpr UINT MB_DEFBUTTON2 = 0x00000100;
inline constexpr UINT MB_DEFBUTTON3 = 0x00000200;
inline constexpr UINT MB_TASKMODAL = 0x00002000;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

namespace vantrel::win {

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};

// The button a box answers when nobody is asked: the one MB_DEFBUTTONn
// names among the buttons of its type.
int DefaultButton(UINT type);

// Replaces how boxes are answered (tests record them; a desktop front end
// would show them). Returns the previous handler. An empty handler restores
// the default: log to standard error, answer the default button.
using MessageBoxHandler = std::function<int(const MessageBoxRecord&)>;
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace vantrel::win
