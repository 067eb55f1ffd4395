// The runtime-folder socket of this process: framing and the handshake that
// names a connection's kind (see CrossProcess.md). The public side is in
// WindowPlatform.h (RegisterChannel, ConnectChannel, LiveProcesses).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::win {

inline constexpr std::uint16_t kChannelVersion = 1;
// A frame longer than this is a broken or hostile peer.
inline constexpr std::uint32_t kMaxFrame = 1u << 20;

// A frame is a 4-byte little-endian length and that many bytes. Both return
// false on a closed or broken descriptor; ReadFrame also on a frame over
// `maxSize`.
// Writes all `n` bytes to a stream socket (no SIGPIPE); false when the peer
// went or the socket failed.
bool WriteAll(int fd, const void* data, size_t n);
bool WriteFrame(int fd, const std::vector<std::uint8_t>& payload);
bool ReadFrame(int fd, std::vector<std::uint8_t>* payload, std::uint32_t maxSize = kMaxFrame);

// The socket of process `pid` in the runtime folder.
std::string SocketPath(pid_t pid);

// Starts this process's listener if it is not running yet. False when the
// runtime folder is unusable.
bool StartListener();

}  // namespace vantrel::win
