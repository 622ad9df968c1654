// The decisions behind platform::distrustReason, as functions over facts the
// system has been asked for already, so that they can be tested without
// other users or access lists (and the Windows rules also on Linux).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/byte_string.h"

namespace hux::platform::trust {

// One object as stat(2) describes it.
struct PosixFacts {
    uint32_t owner = 0;
    uint32_t mode = 0;          // permission bits as stat gives them
    bool privateGroup = false;  // its group holds the user alone (and no access list widens it)
};
// Empty when the object may be used by `user`; else "owned by uid N" or
// "writable by other users".
ByteString judgePosix(const PosixFacts& facts, uint32_t user);

// What lstat(2) (and readlink(2) for a link) say about one name.
struct PosixEntry {
    ByteString failure;  // "missing", "not examinable": nothing more is known
    bool isLink = false;
    bool isDirectory = false;
    ByteString target;  // a link's text
    PosixFacts facts;   // for a link, only its owner counts
};
// Looks up a full path whose directories hold no links (the walk resolved them).
using PosixLookUp = PosixEntry (*)(const char* path);

// The walk over the absolute `path` from "/" down, resolving each link where
// the system would (a link's owner is judged, then its target is walked in
// its place, ".." going up from the directory the link lies in). Every
// directory passed through must be owned by `user` or root and writable by
// nobody else unless it is sticky (its other entries then stay their owners',
// and the next one is judged in turn). What the path finally names must be
// owned by `user` or root and writable by nobody else, sticky or not. Empty
// when trusted; else the reason for what the path names ("owned by uid N"),
// or "directory '<dir>' is <reason>" for a directory or a link on the way.
ByteString walkPosix(const ByteString& path, PosixLookUp lookUp, uint32_t user);

// Who an owner or an access entry names, as far as trust goes.
enum class Principal {
    User,              // the running user
    System,            // S-1-5-18
    Administrators,    // S-1-5-32-544
    TrustedInstaller,  // S-1-5-80-956008885-...
    OwnerRights,       // S-1-3-4: whatever the (trusted) owner may do
    CreatorOwner,      // S-1-3-0: a template for new objects, no one in itself
    Other,
};

// Access rights that let a holder change what the object is or holds: write
// or append data (add a file or a subdirectory), delete it or its children,
// change its access list or owner, and the generic forms of those.
constexpr uint32_t kWriteLikeRights =
    0x00000002u | 0x00000004u | 0x00000040u | 0x00010000u | 0x00040000u | 0x00080000u | 0x10000000u | 0x40000000u;

// The principal a SID in its text form ("S-1-5-18") stands for, given the
// running user's SID in the same form.
Principal classifySid(std::string_view sid, std::string_view userSid);

struct AccessEntry {
    bool allows = true;        // an access-allowed entry (denials only narrow, and are not counted)
    bool inheritOnly = false;  // applies to children only, not to the object
    uint32_t mask = 0;
    Principal who = Principal::Other;
    ByteString name;  // the account as text, for the reason
};

struct AccessFacts {
    Principal owner = Principal::Other;
    ByteString ownerName;
    bool hasDacl = true;  // a missing (null) access list grants everyone everything
    std::vector<AccessEntry> entries;
};
// Empty when the object may be used; else "owned by <name>" or "writable by
// other users (<name>)".
ByteString judgeAccess(const AccessFacts& facts);

// One component's reason, empty when trusted (the system's part).
using ComponentCheck = ByteString (*)(const char* path);

// The walk over `path` and its directories up to (not including) the nearest
// directory that also holds `anchor`. Both are full, normalised paths. An
// ancestor's reason reads "directory '<dir>' is <reason>". With
// `windowsNames`, '\\' separates too and names compare without regard to case.
ByteString walkDistrust(const ByteString& path, const ByteString& anchor, ComponentCheck check, bool windowsNames);
// Whether the full path `path` is `directory` or lies below it.
bool within(const ByteString& path, const ByteString& directory, bool windowsNames);

}  // namespace hux::platform::trust
