// A .part file an earlier download left (the upgrader was killed, crashed or
// closed halfway), and the record beside it that ties its bytes to the
// resource they came from, so that the next download of the same URL asks
// only for the rest. The folder may belong to a less-privileged user: only
// a leftover provably the upgrader's own is ever continued.
#pragma once

#include <curl/curl.h>

#include <string>

#include "folder.h"
#include "held_file.h"
#include "resume.h"

namespace bvhttptools {

// The name of the record kept beside the .part file `partName`.
std::string RecordNameOf(const std::string& partName);

// The record's text: the URL as a hash (a URL may carry a password, which
// has no place on disk), the validator the bytes are tied to and the total.
// Empty when there is nothing to tie the bytes to (no validator).
std::string ResumeRecordText(const std::string& url, const KnownResource& resource);

// Reads `text` back for `url`: false unless it is a record of this form,
// made for this very URL, with a validator.
bool ParseResumeRecord(const std::string& text, const std::string& url, KnownResource* resource);

// Takes over `partName` in `folder` when an earlier download of `url` left
// it: the file and its record both the upgrader's own as Folder::
// OpenOwnLeftover checks them, the record for this URL, the file no longer
// than the resource. `*resource` then holds what it is tied to, `onDisk` its
// size, and the server decides through If-Range whether it continues.
// Otherwise both names are removed and the file is invalid.
platform::HeldFile TakeLeftover(const platform::Folder& folder, const std::string& partName,
                                const std::string& url, bool privateFile, KnownResource* resource);

// Writes the record for `partName` (replacing one); without a validator it
// only removes what stood there. False when a record was due and could not
// be written.
bool KeepResumeRecord(const platform::Folder& folder, const std::string& partName, const std::string& url,
                      const KnownResource& resource, bool privateFile);

}  // namespace bvhttptools
