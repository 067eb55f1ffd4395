// Where the user dialogs find their templates and strings, and how their
// help button opens a topic. The server window sets both at start-up (a
// resource library may replace the program's own dialogs); until then the
// program's resources are used and help requests are only logged.
#pragma once

#include <functional>
#include <string>

#include "platform/win/Module.h"

// Null names the program itself.
void SetUserDialogResources(HMODULE module);
HMODULE UserDialogResources();

// Opens help `topic` in window type `window` (may be empty).
using UserDialogHelp = std::function<void(const char* topic, const char* window)>;
void SetUserDialogHelp(UserDialogHelp help);
void OpenUserDialogHelp(const char* topic, const char* window);

// Strings of the user dialogs (UserDialogs.rc), beside 137 and 139.
inline constexpr UINT IDS_USERS_COLUMN_NAME = 2301;
inline constexpr UINT IDS_USERS_COLUMN_ACCOUNT = 2302;
inline constexpr UINT IDS_USERS_NEW_FAILED = 2303;  // "%s": one of the steps below
inline constexpr UINT IDS_USERS_STEP_CREATE = 2304;
inline constexpr UINT IDS_USERS_STEP_PROPERTIES = 2305;
inline constexpr UINT IDS_USERS_STEP_DIALOG = 2306;
inline constexpr UINT IDS_USERS_STEP_TABLE = 2307;
inline constexpr UINT IDS_USERS_SAVE_FAILED = 2308;
inline constexpr UINT IDS_EDIT_STEP_FAILED = 2309;  // "%s": the step
inline constexpr UINT IDS_MAILBOX_CREATED = 2310;   // "%s": what was made
inline constexpr UINT IDS_MAILBOX_FAILED = 2311;    // "%s": why not

// String `id` of the dialogs' resources (then of the program), else
// `fallback`.
std::string UserDialogString(UINT id, const char* fallback);
// The string `id` with its one "%s" replaced by `arg` (as text, never as
// a format).
std::string UserDialogString(UINT id, const char* fallback, const std::string& arg);
