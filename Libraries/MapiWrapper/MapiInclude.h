// The MAPI platform headers the wrappers are written against.
#pragma once

#include "platform/mapi/MapiDefs.h"
