// Who may talk to whom on Linux; shared by the guard, folder and channel code.
#pragma once

#include <sys/types.h>

namespace platform {

// The uid of the login session: it survives sudo and pkexec, so a root
// upgrader and its user's client agree on one folder. Falls back to the
// effective uid when the session has none.
uid_t LoginUid();

// True when a peer with `peerUid` may deliver a request to an upgrader
// running as `ownEuid` for the login `loginUid`: the same user, root, or the
// login user of an upgrader the client started with raised rights.
bool PeerMayRequest(uid_t peerUid, uid_t ownEuid, uid_t loginUid);

}  // namespace platform
