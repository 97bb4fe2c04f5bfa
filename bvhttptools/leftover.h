// A .part file an earlier download left (the upgrader was killed, crashed or
// closed halfway), and the record beside it that ties its bytes to the
// resource they came from, so that the next download of the same URL asks
// only for the rest. The folder may belong to a less-privileged user: only
// a leftover provably the upgrader's own, standing beside the very record
// made for it, is ever continued.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "folder.h"
#include "held_file.h"
#include "resume.h"

namespace bvhttptools {

// The name of the record kept beside the .part file `partName`.
std::string RecordNameOf(const std::string& partName);

// What a record says: the resource the bytes came from, and the .part file
// it was written for as that file was then.
struct ResumeRecord {
  KnownResource resource;
  platform::FileIdentity part;
};

// The record's text: the URL as a hash (a URL may carry a password, which
// has no place on disk), the .part file it is written for (`part`: its
// identity and size), the validator the bytes are tied to and the total.
// Empty when there is nothing to tie the bytes to (no validator, or a file
// without an identity).
std::string ResumeRecordText(const std::string& url, const KnownResource& resource,
                             const platform::FileIdentity& part);

// Reads `text` back for `url` into `*record`: "" when it is a record of this
// form made for this very URL, with a validator; else why it cannot be used,
// in words for the log ("its record was made for another URL").
std::string ParseResumeRecord(const std::string& text, const std::string& url, ResumeRecord* record);

// Takes over `partName` in `folder` when an earlier download of `url` left
// it: the file and its record both the upgrader's own as Folder::
// OpenOwnLeftover checks them, the record for this URL and for this very
// file (the same identity, and at least as long as it was when the record
// was written), the file no longer than the resource. `*resource` then
// holds what it is tied to, `onDisk` its size, and the server decides
// through If-Range whether it continues. Otherwise both names are removed,
// the file is invalid and `*why` says why a leftover standing there was not
// continued ("" when there was none).
platform::HeldFile TakeLeftover(const platform::Folder& folder, const std::string& partName,
                                const std::string& url, bool privateFile, KnownResource* resource,
                                std::string* why);

// Writes the record for `part`, held and standing in `folder` under
// `partName` (replacing a record there), with `part`'s identity and its size
// now; without a validator it only removes what stood there. False when a
// record was due and could not be written.
bool KeepResumeRecord(const platform::Folder& folder, const platform::HeldFile& part, const std::string& partName,
                      const std::string& url, const KnownResource& resource, bool privateFile);

}  // namespace bvhttptools
