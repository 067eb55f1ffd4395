// The published window-system values the front end reads out of records
// (style bits, states, menu flags, message-box types) and sends back
// (mouse messages of a tray callback, dialog button ids).
#pragma once

#include <cstdint>

namespace zelfront::win {

inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_DISABLED = 0x08000000;

inline constexpr std::uint32_t SS_TYPEMASK = 0x1F;
inline constexpr std::uint32_t SS_CENTER = 0x1;
inline constexpr std::uint32_t SS_RIGHT = 0x2;
inline constexpr std::uint32_t SS_ICON = 0x3;
inline constexpr std::uint32_t SS_BLACKRECT = 0x4;
inline constexpr std::uint32_t SS_ETCHEDHORZ = 0x10;

inline constexpr std::uint32_t ES_MULTILINE = 0x4;
inline constexpr std::uint32_t ES_PASSWORD = 0x20;
inline constexpr std::uint32_t ES_READONLY = 0x800;

inline constexpr std::uint32_t BS_TYPEMASK = 0xF;
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x1;
inline constexpr std::uint32_t BS_CHECKBOX = 0x2;
inline constexpr std::uint32_t BS_AUTOCHECKBOX = 0x3;
inline constexpr std::uint32_t BS_RADIOBUTTON = 0x4;
inline constexpr std::uint32_t BS_3STATE = 0x5;
inline constexpr std::uint32_t BS_AUTO3STATE = 0x6;
inline constexpr std::uint32_t BS_GROUPBOX = 0x7;
inline constexpr std::uint32_t BS_AUTORADIOBUTTON = 0x9;

inline constexpr std::uint32_t CBS_TYPEMASK = 0x3;
inline constexpr std::uint32_t CBS_DROPDOWNLIST = 0x3;

inline constexpr std::uint32_t LBS_MULTIPLESEL = 0x8;
inline constexpr std::uint32_t LBS_EXTENDEDSEL = 0x800;

inline constexpr std::uint32_t LVS_SINGLESEL = 0x4;
inline constexpr std::uint32_t LVIS_SELECTED = 0x2;

inline constexpr std::uint32_t TVIS_SELECTED = 0x2;
inline constexpr std::uint32_t TVIS_EXPANDED = 0x20;

inline constexpr std::uint32_t MF_GRAYED = 0x1;
inline constexpr std::uint32_t MF_DISABLED = 0x2;
inline constexpr std::uint32_t MF_CHECKED = 0x8;
inline constexpr std::uint32_t MF_POPUP = 0x10;
inline constexpr std::uint32_t MF_SEPARATOR = 0x800;

inline constexpr std::uint32_t MB_ICONMASK = 0xF0;
inline constexpr std::uint32_t MB_ICONHAND = 0x10;
inline constexpr std::uint32_t MB_ICONQUESTION = 0x20;
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr std::uint32_t MB_ICONASTERISK = 0x40;
inline constexpr std::uint32_t MB_DEFMASK = 0xF00;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

inline constexpr int WM_LBUTTONUP = 0x202;
inline constexpr int WM_LBUTTONDBLCLK = 0x203;
inline constexpr int WM_RBUTTONUP = 0x205;

}  // namespace zelfront::win
