// The published window-system values the front end reads out of records
// (style bits, states, menu flags, message-box types) and sends back
// (mouse messages of a tray callback, dialog button ids): the platform's
// own headers, so each value is written once.
#pragma once

#include <cstdint>

#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"
#include "platform/win/MessageBox.h"
#include "platform/win/WinUser.h"

namespace zelfront::win {

// A combo box's kind: CBS_SIMPLE, CBS_DROPDOWN or CBS_DROPDOWNLIST.
inline constexpr std::uint32_t CBS_TYPEMASK = 0x3;

}  // namespace zelfront::win
