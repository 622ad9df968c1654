#include "platform/shared/trust_rules.h"

#include <string>
#include <vector>

#include "common/utf.h"

namespace hux::platform::trust {

namespace {

constexpr uint32_t kGroupWrite = 0020;  // S_IWGRP
constexpr uint32_t kOtherWrite = 0002;  // S_IWOTH

bool separates(char c, bool windowsNames) { return c == '/' || (windowsNames && c == '\\'); }

// Windows names compare without regard to case, and either separator
// matches the other.
bool sameName(std::string_view a, std::string_view b, bool windowsNames) {
    if (!windowsNames) return a == b;
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (separates(a[i], true) && separates(b[i], true)) continue;
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// Whether `dir` is `anchor` or one of its ancestors.
bool holds(std::string_view dir, std::string_view anchor, bool windowsNames) {
    if (dir.size() > anchor.size() || !sameName(dir, anchor.substr(0, dir.size()), windowsNames)) return false;
    return dir.size() == anchor.size() || (!dir.empty() && separates(dir.back(), windowsNames)) ||
           separates(anchor[dir.size()], windowsNames);
}

// The directory above `path`, with the root keeping its separator ("/",
// "C:\"); empty when there is none.
std::string_view parentOf(std::string_view path, bool windowsNames) {
    size_t cut = std::string_view::npos;
    for (size_t i = path.size(); i-- > 0;) {
        if (separates(path[i], windowsNames)) {
            cut = i;
            break;
        }
    }
    if (cut == std::string_view::npos || cut + 1 == path.size()) return {};
    // Keep the separator when it is the root's.
    if (cut == 0 || (windowsNames && cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
    return path.substr(0, cut);
}

std::string_view withoutTrailingSeparator(std::string_view path, bool windowsNames) {
    while (path.size() > 1 && separates(path.back(), windowsNames) &&
           !(windowsNames && path.size() == 3 && path[1] == ':'))
        path.remove_suffix(1);
    return path;
}

}  // namespace

ByteString judgePosix(const PosixFacts& facts, uint32_t user) {
    if (facts.owner != user && facts.owner != 0) {
        ByteString reason("owned by uid ");
        reason.append(std::to_string(facts.owner));
        return reason;
    }
    if ((facts.mode & kOtherWrite) || ((facts.mode & kGroupWrite) && !facts.privateGroup))
        return ByteString("writable by other users");
    return {};
}

namespace {

constexpr uint32_t kSticky = 01000;  // S_ISVTX
constexpr int kMostLinks = 40;       // as the system's own limit (ELOOP)

// Puts the names of `path` in front of `pending` (which keeps the next name
// last), in order.
void pushNamesInFront(std::string_view path, std::vector<std::string>& pending) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    pending.insert(pending.end(), names.rbegin(), names.rend());
}

ByteString onTheWay(const std::string& dir, const ByteString& reason) {
    ByteString text("directory '");
    text.append(dir);
    text.append("' is ");
    text.append(reason);
    return text;
}

// The reason against one directory or file found on the walk; `last` when it
// is what the path names.
ByteString judgeOnTheWay(const PosixEntry& entry, uint32_t user, bool last) {
    if (!last && !entry.isDirectory) return ByteString("not a directory");
    const bool trustedOwner = entry.facts.owner == user || entry.facts.owner == 0;
    // A sticky directory lets others add entries of their own, never touch
    // the user's or root's, and the walk judges the next one in turn.
    if (!last && trustedOwner && (entry.facts.mode & kSticky)) return {};
    return judgePosix(entry.facts, user);
}

}  // namespace

ByteString walkPosix(const ByteString& path, PosixLookUp lookUp, uint32_t user) {
    if (path.empty() || path[0] != '/') return ByteString("not a full path");
    // The names still to walk, the next one last.
    std::vector<std::string> pending;
    pushNamesInFront(path.view(), pending);
    std::string resolved;  // link-free and judged so far; empty for "/"
    PosixEntry root = lookUp("/");
    if (!root.failure.empty()) return pending.empty() ? root.failure : onTheWay("/", root.failure);
    ByteString reason = judgeOnTheWay(root, user, pending.empty());
    if (!reason.empty()) return pending.empty() ? reason : onTheWay("/", reason);
    bool namedJudged = pending.empty();  // whether what the path names was judged as such
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            resolved.resize(resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
            continue;
        }
        const std::string candidate = resolved + "/" + name;
        const bool last = pending.empty();
        const PosixEntry entry = lookUp(candidate.c_str());
        if (!entry.failure.empty()) return last ? entry.failure : onTheWay(candidate, entry.failure);
        if (entry.isLink) {
            // Whoever owns the link chooses what it points to.
            if (entry.facts.owner != user && entry.facts.owner != 0) {
                ByteString owned("a link owned by uid ");
                owned.append(std::to_string(entry.facts.owner));
                return last ? owned : onTheWay(candidate, owned);
            }
            if (++links > kMostLinks) return ByteString("a loop of links");
            if (entry.target.empty()) return last ? ByteString("missing") : onTheWay(candidate, ByteString("missing"));
            if (entry.target[0] == '/') resolved.clear();
            pushNamesInFront(entry.target.view(), pending);
            continue;
        }
        reason = judgeOnTheWay(entry, user, last);
        if (!reason.empty()) return last ? reason : onTheWay(candidate, reason);
        resolved = candidate;
        namedJudged = last;
    }
    // A path ending in "." or ".." names a directory passed on the way: it is
    // judged again as what the path names, where sticky is not enough.
    if (namedJudged) return {};
    const std::string named = resolved.empty() ? std::string("/") : resolved;
    const PosixEntry entry = lookUp(named.c_str());
    return entry.failure.empty() ? judgeOnTheWay(entry, user, true) : entry.failure;
}

Principal classifySid(std::string_view sid, std::string_view userSid) {
    if (!userSid.empty() && equalsIgnoreCase(sid, userSid)) return Principal::User;
    if (sid == "S-1-5-18") return Principal::System;
    if (sid == "S-1-5-32-544") return Principal::Administrators;
    if (sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464") return Principal::TrustedInstaller;
    if (sid == "S-1-3-4") return Principal::OwnerRights;
    if (sid == "S-1-3-0") return Principal::CreatorOwner;
    return Principal::Other;
}

ByteString judgeAccess(const AccessFacts& facts) {
    if (facts.owner == Principal::Other || facts.owner == Principal::OwnerRights ||
        facts.owner == Principal::CreatorOwner) {
        ByteString reason("owned by ");
        reason.append(facts.ownerName.empty() ? ByteString("another user") : facts.ownerName);
        return reason;
    }
    if (!facts.hasDacl) return ByteString("writable by other users (no access list)");
    for (const AccessEntry& e : facts.entries) {
        if (!e.allows || e.inheritOnly || (e.mask & kWriteLikeRights) == 0) continue;
        // The owner's rights go with the owner, who is trusted here; a
        // template for new objects names nobody until it is inherited.
        if (e.who != Principal::Other) continue;
        ByteString reason("writable by other users (");
        reason.append(e.name.empty() ? ByteString("an unnamed account") : e.name);
        reason.push(')');
        return reason;
    }
    return {};
}

ByteString walkDistrust(const ByteString& path, const ByteString& anchor, ComponentCheck check, bool windowsNames) {
    const std::string_view full = withoutTrailingSeparator(path.view(), windowsNames);
    const std::string_view base = withoutTrailingSeparator(anchor.view(), windowsNames);
    const std::string leaf(full);
    ByteString reason = check(leaf.c_str());
    if (!reason.empty()) return reason;
    if (holds(full, base, windowsNames)) return {};
    for (std::string_view dir = parentOf(full, windowsNames); !dir.empty() && !holds(dir, base, windowsNames);
         dir = parentOf(dir, windowsNames)) {
        const std::string name(dir);
        reason = check(name.c_str());
        if (reason.empty()) continue;
        ByteString text("directory '");
        text.append(dir);
        text.append("' is ");
        text.append(reason);
        return text;
    }
    return {};
}

bool within(const ByteString& path, const ByteString& directory, bool windowsNames) {
    return holds(withoutTrailingSeparator(directory.view(), windowsNames),
                 withoutTrailingSeparator(path.view(), windowsNames), windowsNames);
}

}  // namespace hux::platform::trust
