#include "file_sync.h"

namespace bvhttptools {

// Windows' cache manager already writes behind on its own.
void WriteBehind(const platform::HeldFile&, long long, long long) {}

// Writes stay cached here. Unbuffered writes would need the flag when the
// handle is opened, and the .part handle is made by Folder::CreateNew with
// its own access and sharing; the lazy writer already overlaps the disk with
// the writer thread, and nothing here can measure the difference (Wine).
std::size_t DirectWriteAlignment(const platform::HeldFile&) { return 0; }

bool SetDirectWrites(const platform::HeldFile&, bool on) { return !on; }

}  // namespace bvhttptools
