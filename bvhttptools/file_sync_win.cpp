#include "file_sync.h"

namespace bvhttptools {

// Windows' cache manager already writes behind on its own.
bool WriteBehind(const platform::HeldFile&, long long, long long) { return true; }

// Writes stay cached here: unbuffered ones need FILE_FLAG_NO_BUFFERING when
// the handle is opened, and the .part handle is Folder::CreateNew's own,
// with the sharing and DACL the sealing relies on.
std::size_t DirectWriteAlignment(const platform::HeldFile&) { return 0; }

bool SetDirectWrites(const platform::HeldFile&, bool on) { return !on; }

}  // namespace bvhttptools
