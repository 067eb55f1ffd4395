// Every published PR_ property tag as a constant, from the generated list.
#pragma once

#include "platform/base/WinTypes.h"

#define VANTREL_PROP(name, tag) inline constexpr ULONG name = tag;
#include "platform/mapi/MapiTags.inc"
#undef VANTREL_PROP
