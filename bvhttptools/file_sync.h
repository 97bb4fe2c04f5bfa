// File work of the download library that differs between platforms.
#pragma once

#include <cstddef>

#include "held_file.h"

namespace bvhttptools {

// Called after a write made `file` grow from `before` to `after` bytes.
// Starts writing each completed stretch to storage and waits for the one
// written a few stretches earlier: unwritten data stays bounded while the
// network still delivers, so the sync before the rename has little left.
// False when the system reported that a stretch could not be written back.
bool WriteBehind(const platform::HeldFile& file, long long before, long long after);

// Where the file system of `file` writes to storage directly (no cache in
// between), the alignment its writes then need: offsets, lengths and buffer
// addresses all multiples of it. 0 when writes should go through the cache:
// a file system without direct writes, or one held in memory anyway.
std::size_t DirectWriteAlignment(const platform::HeldFile& file);

// Switches the writes through `file`'s handle to storage directly (`on`) or
// back through the cache; false when the system refuses.
bool SetDirectWrites(const platform::HeldFile& file, bool on);

}  // namespace bvhttptools
