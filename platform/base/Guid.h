// GUIDs: the 16-byte identifier in its usual binary layout (first field a
// little-endian 32-bit number, then two 16-bit numbers, then eight bytes in
// order), its text form, and the published interface identifiers.
#pragma once

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];

  friend bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
  friend bool operator<(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPCIID = const IID*;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  return a == b;
}
inline bool IsEqualIID(const IID& a, const IID& b) {
  return a == b;
}

namespace vantrel {

// "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X": uppercase, no braces.
std::string GuidToString(const GUID& g);
// Reads the same form (braces around it are accepted); nullopt when the
// text is not a GUID.
std::optional<GUID> GuidFromString(std::string_view text);

// Wire image: the 16 bytes as they are stored (Data1..Data3 little-endian).
std::array<std::uint8_t, 16> GuidToBytes(const GUID& g);
GUID GuidFromBytes(const std::uint8_t* bytes16);

// A fresh random GUID (version 4).
GUID NewGuid();

}  // namespace vantrel

// The OLE form: {l-0000-0000-C000-000000000046}.
inline constexpr GUID MakeOleGuid(std::uint32_t l) {
  return GUID{l, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = MakeOleGuid(0x00000000);
inline constexpr IID IID_IStorage = MakeOleGuid(0x0000000B);
inline constexpr IID IID_IStream = MakeOleGuid(0x0000000C);
inline constexpr IID IID_IEnumSTATSTG = MakeOleGuid(0x0000000D);
inline constexpr GUID IID_IABContainer = MakeOleGuid(0x2030D);
inline constexpr GUID IID_IABLogon = MakeOleGuid(0x20314);
inline constexpr GUID IID_IABProvider = MakeOleGuid(0x20311);
inline constexpr GUID IID_IAddrBook = MakeOleGuid(0x20309);
inline constexpr GUID IID_IAttachment = MakeOleGuid(0x20308);
inline constexpr GUID IID_IDistList = MakeOleGuid(0x2030E);
inline constexpr GUID IID_IEnumMAPIFormProp = MakeOleGuid(0x20323);
inline constexpr GUID IID_IMailUser = MakeOleGuid(0x2030A);
inline constexpr GUID IID_IMAPIAdviseSink = MakeOleGuid(0x20302);
inline constexpr GUID IID_IMAPIContainer = MakeOleGuid(0x2030B);
inline constexpr GUID IID_IMAPIControl = MakeOleGuid(0x2031B);
inline constexpr GUID IID_IMAPIFolder = MakeOleGuid(0x2030C);
inline constexpr GUID IID_IMAPIForm = MakeOleGuid(0x20327);
inline constexpr GUID IID_IMAPIFormAdviseSink = MakeOleGuid(0x2032F);
inline constexpr GUID IID_IMAPIFormContainer = MakeOleGuid(0x2032E);
inline constexpr GUID IID_IMAPIFormFactory = MakeOleGuid(0x20350);
inline constexpr GUID IID_IMAPIFormInfo = MakeOleGuid(0x20324);
inline constexpr GUID IID_IMAPIFormMgr = MakeOleGuid(0x20322);
inline constexpr GUID IID_IMAPIFormProp = MakeOleGuid(0x2032D);
inline constexpr GUID IID_IMAPIMessageSite = MakeOleGuid(0x20370);
inline constexpr GUID IID_IMAPIProgress = MakeOleGuid(0x2031F);
inline constexpr GUID IID_IMAPIProp = MakeOleGuid(0x20303);
inline constexpr GUID IID_IMAPIPropData = MakeOleGuid(0x2031A);
inline constexpr GUID IID_IMAPISession = MakeOleGuid(0x20300);
inline constexpr GUID IID_IMAPISpoolerInit = MakeOleGuid(0x20317);
inline constexpr GUID IID_IMAPISpoolerService = MakeOleGuid(0x2031E);
inline constexpr GUID IID_IMAPISpoolerSession = MakeOleGuid(0x20318);
inline constexpr GUID IID_IMAPIStatus = MakeOleGuid(0x20305);
inline constexpr GUID IID_IMAPISup = MakeOleGuid(0x2030F);
inline constexpr GUID IID_IMAPITable = MakeOleGuid(0x20301);
inline constexpr GUID IID_IMAPITableData = MakeOleGuid(0x20316);
inline constexpr GUID IID_IMAPIViewAdviseSink = MakeOleGuid(0x2032B);
inline constexpr GUID IID_IMAPIViewContext = MakeOleGuid(0x20321);
inline constexpr GUID IID_IMessage = MakeOleGuid(0x20307);
inline constexpr GUID IID_IMsgServiceAdmin = MakeOleGuid(0x2031D);
inline constexpr GUID IID_IMsgStore = MakeOleGuid(0x20306);
inline constexpr GUID IID_IMSLogon = MakeOleGuid(0x20313);
inline constexpr GUID IID_IMSProvider = MakeOleGuid(0x20310);
inline constexpr GUID IID_IPersistMessage = MakeOleGuid(0x2032A);
inline constexpr GUID IID_IProfAdmin = MakeOleGuid(0x2031C);
inline constexpr GUID IID_IProfSect = MakeOleGuid(0x20304);
inline constexpr GUID IID_IProviderAdmin = MakeOleGuid(0x20325);
inline constexpr GUID IID_ISpoolerHook = MakeOleGuid(0x20320);
inline constexpr GUID IID_IStreamDocfile = MakeOleGuid(0x2032C);
inline constexpr GUID IID_IStreamTnef = MakeOleGuid(0x20330);
inline constexpr GUID IID_ITNEF = MakeOleGuid(0x20319);
inline constexpr GUID IID_IXPLogon = MakeOleGuid(0x20315);
inline constexpr GUID IID_IXPProvider = MakeOleGuid(0x20312);
inline constexpr GUID MUID_PROFILE_INSTANCE = MakeOleGuid(0x20385);
inline constexpr GUID PS_MAPI = MakeOleGuid(0x20328);
inline constexpr GUID PS_PUBLIC_STRINGS = MakeOleGuid(0x20329);
inline constexpr GUID PS_ROUTING_ADDRTYPE = MakeOleGuid(0x20381);
inline constexpr GUID PS_ROUTING_DISPLAY_NAME = MakeOleGuid(0x20382);
inline constexpr GUID PS_ROUTING_EMAIL_ADDRESSES = MakeOleGuid(0x20380);
inline constexpr GUID PS_ROUTING_ENTRYID = MakeOleGuid(0x20383);
inline constexpr GUID PS_ROUTING_SEARCH_KEY = MakeOleGuid(0x20384);
