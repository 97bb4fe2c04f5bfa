// File work of the download library that differs between platforms.
#pragma once

#include "held_file.h"

namespace bvhttptools {

// Called after a write made `file` grow from `before` to `after` bytes.
// Starts writing each completed stretch to storage and waits for the one
// written a few stretches earlier: unwritten data stays bounded while the
// network still delivers, so the sync before the rename has little left.
void WriteBehind(const platform::HeldFile& file, long long before, long long after);

}  // namespace bvhttptools
