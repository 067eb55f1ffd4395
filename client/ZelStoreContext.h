// IZelStoreContext: the private interface of a store proxy by which the
// store provider marks a store opened for the MAPI spooler. The provider
// asks the store's IMsgStore for it with QueryInterface.
#pragma once

#include "platform/base/Unknown.h"

// {EB75A397-71C4-40ED-90F7-A4868A55A0C3}
inline constexpr IID IID_IZelStoreContext = {0xEB75A397, 0x71C4, 0x40ED,
                                             {0x90, 0xF7, 0xA4, 0x86, 0x8A, 0x55, 0xA0, 0xC3}};

struct IZelStoreContext : public IUnknown {
  static constexpr const IID& kIID = IID_IZelStoreContext;
  // A non-zero mode marks the store as the spooler's. Both return 0.
  STDMETHOD(SetSpoolerMode)(ULONG mode) = 0;
  STDMETHOD(GetSpoolerMode)(ULONG* mode) = 0;
};
