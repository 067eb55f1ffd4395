// Network browsing: the published WNet enumeration (names, values, the
// NETRESOURCE shape and the block-wise reading of WNetEnumResource) over the
// computers this machine knows.
//
// The network has one level of containers: the root holds the workgroup
// (RESOURCEDISPLAYTYPE_DOMAIN), and the workgroup holds the computers
// (RESOURCEDISPLAYTYPE_SERVER, remote name "\\name"). A computer is a
// container as on the home platform, of shares; none are known, so its
// enumeration is empty. The computers are, in this order and each once
// (compared without case):
//   - the first name of every line of the hosts file ("/etc/hosts", or the
//     file ZEL_HOSTS_FILE names) whose address is neither unspecified nor
//     multicast;
//   - the value names of HKEY_LOCAL_MACHINE\SOFTWARE\Vantrel\Network\Computers
//     (the values' data is not used), for machines the hosts file does not
//     name.
// The value "Workgroup" of HKEY_LOCAL_MACHINE\SOFTWARE\Vantrel\Network names
// the workgroup ("WORKGROUP" without it). WNetOpenEnum takes a snapshot;
// later changes are seen by the next enumeration.
#pragma once

#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/base/LastError.h"
#include "platform/base/WinTypes.h"

using HANDLE = void*;
using LPHANDLE = HANDLE*;

inline constexpr DWORD RESOURCE_CONNECTED = 0x00000001;
inline constexpr DWORD RESOURCE_GLOBALNET = 0x00000002;
inline constexpr DWORD RESOURCE_REMEMBERED = 0x00000003;
inline constexpr DWORD RESOURCE_RECENT = 0x00000004;
inline constexpr DWORD RESOURCE_CONTEXT = 0x00000005;

inline constexpr DWORD RESOURCETYPE_ANY = 0x00000000;
inline constexpr DWORD RESOURCETYPE_DISK = 0x00000001;
inline constexpr DWORD RESOURCETYPE_PRINT = 0x00000002;
inline constexpr DWORD RESOURCETYPE_RESERVED = 0x00000008;
inline constexpr DWORD RESOURCETYPE_UNKNOWN = 0xFFFFFFFF;

inline constexpr DWORD RESOURCEUSAGE_CONNECTABLE = 0x00000001;
inline constexpr DWORD RESOURCEUSAGE_CONTAINER = 0x00000002;
inline constexpr DWORD RESOURCEUSAGE_NOLOCALDEVICE = 0x00000004;
inline constexpr DWORD RESOURCEUSAGE_SIBLING = 0x00000008;
inline constexpr DWORD RESOURCEUSAGE_ATTACHED = 0x00000010;
inline constexpr DWORD RESOURCEUSAGE_ALL =
    RESOURCEUSAGE_CONNECTABLE | RESOURCEUSAGE_CONTAINER | RESOURCEUSAGE_ATTACHED;
inline constexpr DWORD RESOURCEUSAGE_RESERVED = 0x80000000;

inline constexpr DWORD RESOURCEDISPLAYTYPE_GENERIC = 0x00000000;
inline constexpr DWORD RESOURCEDISPLAYTYPE_DOMAIN = 0x00000001;
inline constexpr DWORD RESOURCEDISPLAYTYPE_SERVER = 0x00000002;
inline constexpr DWORD RESOURCEDISPLAYTYPE_SHARE = 0x00000003;
inline constexpr DWORD RESOURCEDISPLAYTYPE_FILE = 0x00000004;
inline constexpr DWORD RESOURCEDISPLAYTYPE_GROUP = 0x00000005;
inline constexpr DWORD RESOURCEDISPLAYTYPE_NETWORK = 0x00000006;
inline constexpr DWORD RESOURCEDISPLAYTYPE_ROOT = 0x00000007;

struct NETRESOURCEA {
  DWORD dwScope;
  DWORD dwType;
  DWORD dwDisplayType;
  DWORD dwUsage;
  LPSTR lpLocalName;
  LPSTR lpRemoteName;
  LPSTR lpComment;
  LPSTR lpProvider;
};
using NETRESOURCE = NETRESOURCEA;
using LPNETRESOURCEA = NETRESOURCEA*;
using LPNETRESOURCE = NETRESOURCEA*;

// `resource` null (or with no remote name) starts at the root; otherwise it
// must be a container this enumeration handed out (ERROR_NOT_CONTAINER for
// one that is not, ERROR_BAD_NET_NAME for a name that is unknown).
// RESOURCE_CONNECTED and RESOURCE_REMEMBERED enumerate nothing (there are
// no connections); RESOURCE_CONTEXT enumerates the workgroup's computers.
DWORD WNetOpenEnumA(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEA resource, LPHANDLE handle);
// Fills `buffer` with up to *count entries (0xFFFFFFFF: as many as fit):
// the NETRESOURCE structures first, their strings after them. ERROR_MORE_DATA
// with the size the next entry needs in *bufferSize when not one fits;
// ERROR_NO_MORE_ITEMS (count 0) at the end.
DWORD WNetEnumResourceA(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bufferSize);
DWORD WNetCloseEnum(HANDLE handle);

inline DWORD WNetOpenEnum(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEA resource, LPHANDLE handle) {
  return WNetOpenEnumA(scope, type, usage, resource, handle);
}
inline DWORD WNetEnumResource(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bufferSize) {
  return WNetEnumResourceA(handle, count, buffer, bufferSize);
}

namespace vantrel::win {

// The computers the workgroup holds, in enumeration order.
std::vector<std::string> KnownComputers();

}  // namespace vantrel::win
