// What the upgrader and its clients agree on, in one place: the server side
// (request_channel_*.cpp, the upgrade window) and the client library
// (client/) both build from this. Constants and inline helpers only, the
// same on both systems.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brisvane::platform {

// Largest request payload the channel accepts.
constexpr std::uint32_t kMaxRequestBytes = 65536;

// Linux: the Unix socket's name inside RuntimeDir(). A request is one frame,
// a 4-byte big-endian length and then that many bytes; the reply is one
// 4-byte big-endian signed value.
constexpr char kSocketName[] = "BrisvaneUpgrade";
constexpr std::size_t kFrameHeaderBytes = 4;
constexpr std::size_t kReplyBytes = 4;

// Windows: the request goes as WM_COPYDATA to the top-level window of this
// title whose process runs an executable of this name.
constexpr wchar_t kWindowTitle[] = L"BrisvaneUpgrade";
constexpr wchar_t kUpgraderExecutable[] = L"BrisvaneUpgrade.exe";

inline void PutBigEndian32(std::uint32_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

inline std::uint32_t GetBigEndian32(const unsigned char* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
         (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
