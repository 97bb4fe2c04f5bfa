// What the upgrader and its clients agree on, in one place: the server side
// (request_channel_*.cpp, the upgrade window) and the client library
// (client/) both build from this. Constants and inline helpers only, the
// same on both systems.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brisvane::platform {

// The single-instance guard the upgrader and its client share; the upgrader
// does not run while anyone holds it.
constexpr char kSingletonGuardName[] = "bvc singleton mutex";

// Largest request payload the channel accepts.
constexpr std::uint32_t kMaxRequestBytes = 65536;

// Linux: the Unix socket's name inside RuntimeDir(). A request is one frame,
// a 4-byte big-endian length and then that many bytes; the reply is one
// 4-byte big-endian signed value. A length with kFrameHasRequestId set
// announces that a 64-bit big-endian request id comes first (and is counted
// in the length); without it the frame is the URL alone, as from the first
// senders. A length word of kFrameWithdraws alone (no URL, no id) is a
// withdrawal: it asks an upgrader that has taken no upgrade to close, as
// Escape would (its reply: kReplyTaken when it closes, kReplyBusy when an
// upgrade is under way); a client sends it to an upgrader it started whose
// request was not taken.
constexpr char kSocketName[] = "BrisvaneUpgrade";
constexpr std::size_t kFrameHeaderBytes = 4;
constexpr std::size_t kReplyBytes = 4;
constexpr std::uint32_t kFrameHasRequestId = 0x80000000u;
constexpr std::uint32_t kFrameWithdraws = 0x40000000u;
constexpr std::uint32_t kFrameFlags = kFrameHasRequestId | kFrameWithdraws;
constexpr std::size_t kRequestIdBytes = 8;

// The upgrader's replies. 0 alone means the request was taken, so a sender
// that only checks for 0 is right.
enum Reply : std::int32_t {
  kReplyTaken = 0,
  kReplyBusy = 1,        // another upgrade is under way
  kReplyEmptyUrl = 2,    // refused
  kReplyUnsafeName = 3,  // refused: the installer's name leaves the download folder
  kReplyNulInUrl = 4,    // refused: a NUL before the URL's end
  kReplyClosing = 5,     // the upgrader is closing
  kReplyNoInstallerName = 6,  // refused: the URL names no installer file
};

// Request ids: 0 is none; every other value is a plain id.
constexpr std::uint64_t kNoRequestId = 0;

// The one request an upgrader may be started with, on both systems:
//   BrisvaneUpgrade --request <id> <url>
// <id> in decimal digits (kNoRequestId for none),
// <url> one argument, UTF-8. Such a run takes it as if it had arrived first
// by the channel. It exits with kRequestRefusedExitBase + the reply when the
// request is refused (nothing started, no window shown), with
// kGuardHeldExitCode when another process holds the single-instance guard
// (the request is not taken), and with kBadCommandLineExitCode when the
// command line is not of that form (nothing started). Exit code 0 means the
// request was taken (the outcome record tells how its upgrade ended).
constexpr char kRequestOption[] = "--request";
constexpr int kRequestRefusedExitBase = 100;
constexpr int kGuardHeldExitCode = kRequestRefusedExitBase + kReplyBusy;
constexpr int kBadCommandLineExitCode = 2;
// Any run that finds no display to show its window on logs an ERROR line and
// exits with this, before it takes a request.
constexpr int kNoDisplayExitCode = 3;

// Windows: the request goes as WM_COPYDATA to the top-level window of this
// title whose process runs an executable of this name.
constexpr wchar_t kWindowTitle[] = L"BrisvaneUpgrade";
constexpr wchar_t kUpgraderExecutable[] = L"BrisvaneUpgrade.exe";
// Windows: the withdrawal is a message of its own, registered under this
// name (RegisterWindowMessageW) and sent to that window with no parameters;
// its result is the reply. WM_COPYDATA's dwData stays the plain id.
constexpr wchar_t kWithdrawMessageName[] = L"BrisvaneUpgrade withdraw";

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

inline void PutBigEndian64(std::uint64_t value, unsigned char* out) {
  PutBigEndian32(static_cast<std::uint32_t>(value >> 32), out);
  PutBigEndian32(static_cast<std::uint32_t>(value), out + 4);
}

inline std::uint64_t GetBigEndian64(const unsigned char* in) {
  return (std::uint64_t{GetBigEndian32(in)} << 32) | GetBigEndian32(in + 4);
}

}  // namespace brisvane::platform

namespace platform = brisvane::platform;
