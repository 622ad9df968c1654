// Whether files found beside the executable may be used: the decisions over
// what the system reports (owners, permission bits, access entries, for both
// systems wherever the tests run), the walk from a file up to the
// executable's directory, and the checks on real files where this system can
// make another user's write access.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/launch_config.h"
#include "config/paths.h"
#include "platform/shared/trust_rules.h"
#include "platform/trust.h"
#include "support/test_support.h"

using namespace hux;
using namespace hux::platform::trust;
using hux::test::TempTree;

namespace {

std::string text(const ByteString& s) { return std::string(s.view()); }

// Makes `path` writable by users other than its owner: group and other bits
// here, an entry for Everyone on Windows.
void openToOthers(const std::string& path) {
    ASSERT_TRUE(hux::test::letOthersWrite(path)) << path;
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::others_write, std::filesystem::perm_options::add, ec);
}

// The walk's record: which components were examined, and the reasons a test
// gives some of them.
std::vector<std::string> examined;
std::map<std::string, std::string> verdicts;
ByteString recordingCheck(const char* path) {
    examined.emplace_back(path);
    const auto it = verdicts.find(path);
    return it == verdicts.end() ? ByteString() : ByteString(it->second.c_str());
}

}  // namespace

TEST(TrustRules, PosixOwnerAndWriteBits) {
    constexpr uint32_t kUser = 1000;
    const struct {
        uint32_t owner;
        uint32_t mode;
        bool privateGroup;
        const char* reason;
    } cases[] = {
        {kUser, 0100644, false, ""},
        {0, 0100755, false, ""},  // root's
        {1001, 0100644, false, "owned by uid 1001"},
        {1001, 0100600, false, "owned by uid 1001"},
        {kUser, 0100664, false, "writable by other users"},
        {kUser, 0100664, true, ""},  // the group is the user's alone
        {kUser, 0100666, true, "writable by other users"},
        {kUser, 0100646, false, "writable by other users"},
        {kUser, 0041777, false, "writable by other users"},  // sticky does not make it the user's
        {0, 0040775, false, "writable by other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.owner) + " " + std::to_string(c.mode));
        EXPECT_EQ(text(judgePosix({c.owner, c.mode, c.privateGroup}, kUser)), c.reason);
    }
}

TEST(TrustRules, SidsStandForWhomTheyName) {
    const std::string user = "S-1-5-21-1-2-3-1001";
    const struct {
        const char* sid;
        Principal who;
    } cases[] = {
        {"S-1-5-21-1-2-3-1001", Principal::User},
        {"s-1-5-21-1-2-3-1001", Principal::User},
        {"S-1-5-21-1-2-3-1002", Principal::Other},
        {"S-1-5-18", Principal::System},
        {"S-1-5-32-544", Principal::Administrators},
        {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", Principal::TrustedInstaller},
        {"S-1-3-4", Principal::OwnerRights},
        {"S-1-3-0", Principal::CreatorOwner},
        {"S-1-1-0", Principal::Other},       // Everyone
        {"S-1-5-11", Principal::Other},      // Authenticated Users
        {"S-1-5-32-545", Principal::Other},  // Users
    };
    for (const auto& c : cases) EXPECT_EQ(classifySid(c.sid, user), c.who) << c.sid;
    EXPECT_EQ(classifySid("S-1-5-18", ""), Principal::System);
    EXPECT_EQ(classifySid("", ""), Principal::Other);
}

TEST(TrustRules, AccessListsGrantingOthersChangeAreRefused) {
    constexpr uint32_t kRead = 0x001200A9;    // read and execute
    constexpr uint32_t kModify = 0x001301BF;  // the "Modify" set
    const AccessEntry userFull{true, false, 0x001F01FF, Principal::User, "me"};
    const AccessEntry systemFull{true, false, 0x001F01FF, Principal::System, "SYSTEM"};
    const AccessEntry usersRead{true, false, kRead, Principal::Other, "BUILTIN\\Users"};
    const struct {
        const char* name;
        AccessFacts facts;
        const char* reason;
    } cases[] = {
        {"user's own", {Principal::User, "", true, {userFull, systemFull, usersRead}}, ""},
        {"installed", {Principal::TrustedInstaller, "", true, {systemFull, usersRead}}, ""},
        {"administrators'", {Principal::Administrators, "", true, {userFull}}, ""},
        {"another user's", {Principal::Other, "HOST\\mallory", true, {userFull}}, "owned by HOST\\mallory"},
        {"owner rights as owner", {Principal::OwnerRights, "", true, {}}, "owned by another user"},
        {"no access list", {Principal::User, "", false, {}}, "writable by other users (no access list)"},
        {"Everyone may write",
         {Principal::User, "", true, {userFull, {true, false, 0x2, Principal::Other, "Everyone"}}},
         "writable by other users (Everyone)"},
        {"Authenticated Users may modify",
         {Principal::User, "", true, {{true, false, kModify, Principal::Other, "NT AUTHORITY\\Authenticated Users"}}},
         "writable by other users (NT AUTHORITY\\Authenticated Users)"},
        {"Users may add folders",
         {Principal::User, "", true, {{true, false, 0x4, Principal::Other, "BUILTIN\\Users"}}},
         "writable by other users (BUILTIN\\Users)"},
        {"others may change the access list",
         {Principal::User, "", true, {{true, false, 0x40000, Principal::Other, "X"}}},
         "writable by other users (X)"},
        {"generic write",
         {Principal::User, "", true, {{true, false, 0x40000000, Principal::Other, ""}}},
         "writable by other users (an unnamed account)"},
        {"for children only", {Principal::User, "", true, {{true, true, kModify, Principal::Other, "Users"}}}, ""},
        {"a denial", {Principal::User, "", true, {{false, false, kModify, Principal::Other, "Everyone"}}}, ""},
        {"creator owner template",
         {Principal::User, "", true, {{true, false, kModify, Principal::CreatorOwner, ""}}},
         ""},
        {"owner rights", {Principal::User, "", true, {{true, false, kModify, Principal::OwnerRights, ""}}}, ""},
        {"attributes only", {Principal::User, "", true, {{true, false, 0x100 | 0x10, Principal::Other, "Users"}}}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(text(judgeAccess(c.facts)), c.reason) << c.name;
}

TEST(TrustWalk, ExaminesTheFileAndEachDirectoryUpToTheExecutables) {
    const struct {
        const char* path;
        const char* anchor;
        bool windowsNames;
        std::vector<std::string> examined;
    } cases[] = {
        {"/e/jre/lib/server/libjvm.so",
         "/e",
         false,
         {"/e/jre/lib/server/libjvm.so", "/e/jre/lib/server", "/e/jre/lib", "/e/jre"}},
        {"/e/app.cfg", "/e/", false, {"/e/app.cfg"}},
        {"/e", "/e", false, {"/e"}},  // the directory itself (a redirection target's)
        {"/x/jre/libjvm.so", "/e", false, {"/x/jre/libjvm.so", "/x/jre", "/x"}},  // up to "/"
        {"/ab/c", "/a", false, {"/ab/c", "/ab"}},                                 // "/a" does not hold "/ab"
        {"/E/app.cfg", "/e", false, {"/E/app.cfg", "/E"}},                        // names differ by case here
        {"C:\\App\\JRE\\bin\\server\\jvm.dll",
         "c:\\app\\",
         true,
         {"C:\\App\\JRE\\bin\\server\\jvm.dll", "C:\\App\\JRE\\bin\\server", "C:\\App\\JRE\\bin", "C:\\App\\JRE"}},
        {"C:\\other\\jvm.dll", "C:\\app", true, {"C:\\other\\jvm.dll", "C:\\other"}},
        {"D:/app/tool.cfg", "D:\\APP", true, {"D:/app/tool.cfg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        examined.clear();
        verdicts.clear();
        EXPECT_EQ(text(walkDistrust(c.path, c.anchor, recordingCheck, c.windowsNames)), "");
        EXPECT_EQ(examined, c.examined);
    }
}

TEST(TrustWalk, TheFirstDistrustedComponentGivesTheReason) {
    verdicts = {{"/e/jre/lib", "writable by other users"}, {"/e/jre", "owned by uid 7"}};
    examined.clear();
    EXPECT_EQ(text(walkDistrust("/e/jre/lib/server/libjvm.so", "/e", recordingCheck, false)),
              "directory '/e/jre/lib' is writable by other users");
    EXPECT_EQ(examined.size(), 3u);  // stops there
    verdicts = {{"/e/app.cfg", "owned by uid 7"}};
    EXPECT_EQ(text(walkDistrust("/e/app.cfg", "/e", recordingCheck, false)), "owned by uid 7");
    EXPECT_TRUE(within("/e/jre/x", "/e", false));
    EXPECT_TRUE(within("/e", "/e/", false));
    EXPECT_FALSE(within("/ex/jre", "/e", false));
    EXPECT_FALSE(within("/", "/e", false));
    EXPECT_TRUE(within("C:\\App\\x", "c:/app/", true));
    verdicts.clear();
}

// A made-up file system for the walk from "/": a name's owner and mode, or a
// link's owner and text. Everything not listed is missing.
std::map<std::string, PosixEntry> fakeTree;
PosixEntry fakeLookUp(const char* path) {
    const auto it = fakeTree.find(path);
    if (it != fakeTree.end()) return it->second;
    PosixEntry missing;
    missing.failure = "missing";
    return missing;
}
PosixEntry fakeDir(uint32_t owner, uint32_t mode) { return {"", false, true, "", {owner, 040000 | mode, false}}; }
PosixEntry fakeFile(uint32_t owner, uint32_t mode) { return {"", false, false, "", {owner, 0100000 | mode, false}}; }
PosixEntry fakeLink(uint32_t owner, const char* target) { return {"", true, false, target, {owner, 0120777, false}}; }

TEST(TrustWalk, FromTheRootDownThroughEveryLink) {
    constexpr uint32_t kUser = 1000, kOther = 1001;
    PosixEntry privateGroupDir = fakeDir(kUser, 0775);
    privateGroupDir.facts.privateGroup = true;
    fakeTree = {
        {"/", fakeDir(0, 0755)},
        {"/tmp", fakeDir(0, 01777)},  // sticky, open to all
        {"/tmp/own", fakeDir(kUser, 0755)},
        {"/tmp/own/app.jar", fakeFile(kUser, 0644)},
        {"/tmp/theirs", fakeDir(kOther, 0755)},  // another user's, in the sticky one
        {"/tmp/theirs/app.jar", fakeFile(kUser, 0644)},
        {"/tmp/app.cfg", fakeFile(kUser, 0644)},
        {"/tmp/planted.cfg", fakeFile(kOther, 0644)},
        {"/tmp/open", fakeDir(kUser, 0777)},  // the user's, open to all, not sticky
        {"/tmp/open/vic", fakeDir(kUser, 0700)},
        {"/tmp/open/vic/libjvm.so", fakeFile(kUser, 0644)},
        {"/tmp/grp", fakeDir(kUser, 0775)},  // a group with other members may write
        {"/tmp/grp/x", fakeFile(kUser, 0644)},
        {"/tmp/mine", privateGroupDir},  // the user's private group may write
        {"/tmp/mine/x", fakeFile(kUser, 0644)},
        {"/usr", fakeDir(0, 0755)},
        {"/usr/jdk", fakeDir(0, 0755)},
        {"/usr/jdk/libjvm.so", fakeFile(0, 0644)},
        {"/tmp/own/jre", fakeLink(kUser, "/tmp/theirs/jre")},  // through another user's directory
        {"/tmp/theirs/jre", fakeLink(kOther, "/usr/jdk")},
        {"/tmp/own/sys", fakeLink(kUser, "../../usr/jdk")},  // relative, up from the link's directory
        {"/tmp/own/via", fakeLink(kUser, "/tmp/own/sys")},   // a link to a link
        {"/tmp/own/lent", fakeLink(kOther, "/usr/jdk")},     // a link another user owns
        {"/tmp/own/root", fakeLink(0, "app.jar")},
        {"/tmp/own/loop", fakeLink(kUser, "loop")},
        {"/tmp/own/file", fakeLink(kUser, "app.jar")},
    };
    const struct {
        const char* path;
        const char* reason;
    } cases[] = {
        {"/tmp/own/app.jar", ""},
        {"/tmp/app.cfg", ""},  // the user's own in a sticky directory
        {"/tmp/planted.cfg", "owned by uid 1001"},
        {"/tmp/theirs/app.jar", "directory '/tmp/theirs' is owned by uid 1001"},  // sticky, foreign next
        {"/tmp", "writable by other users"},  // what is made or looked up in it could be anyone's
        {"/tmp/.", "writable by other users"},
        {"/tmp/own/..", "writable by other users"},
        {"/tmp/own/sys/..", ""},  // "/usr"
        {"/tmp/open/vic/libjvm.so", "directory '/tmp/open' is writable by other users"},
        {"/tmp/grp/x", "directory '/tmp/grp' is writable by other users"},
        {"/tmp/mine/x", ""},
        {"/tmp/own/jre/libjvm.so", "directory '/tmp/theirs' is owned by uid 1001"},
        {"/tmp/own/jre", "directory '/tmp/theirs' is owned by uid 1001"},
        {"/tmp/own/sys/libjvm.so", ""},
        {"/tmp/own/via/libjvm.so", ""},
        {"/tmp/own/./sys/../jdk/libjvm.so", ""},  // ".." goes up from where the link led
        {"/tmp/own/jre/../app.jar", "directory '/tmp/theirs' is owned by uid 1001"},  // ".." after the link
        {"/tmp/own/lent/libjvm.so", "directory '/tmp/own/lent' is a link owned by uid 1001"},
        {"/tmp/own/lent", "a link owned by uid 1001"},
        {"/tmp/own/root", ""},
        {"/tmp/own/loop", "a loop of links"},
        {"/tmp/own/file/x", "directory '/tmp/own/app.jar' is not a directory"},
        {"/tmp/own/gone.jar", "missing"},
        {"/tmp/gone/app.jar", "directory '/tmp/gone' is missing"},
        {"relative/x", "not a full path"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(walkPosix(c.path, fakeLookUp, kUser)), c.reason) << c.path;
    fakeTree["/"] = fakeDir(kOther, 0755);
    EXPECT_EQ(text(walkPosix("/tmp/app.cfg", fakeLookUp, kUser)), "directory '/' is owned by uid 1001");
    fakeTree.clear();
}

// Real files: the user's own are used; one that others may write, or that
// lies in a directory others may write below the executable's, is refused.
// The executable's directory itself may be open to others (a sticky shared
// directory): the user's own file there is still used.
TEST(TrustOnThisSystem, OthersWriteAccessOnTheFileOrADirectoryBelowRefusesIt) {
    TempTree tree;
    const std::string exeDir = tree.dir("app");
    const std::string own = tree.file("app/jre/lib/own.so");
    EXPECT_EQ(text(platform::distrustReason(own.c_str(), exeDir.c_str())), "");

    const std::string open = tree.file("app/open.cfg");
    openToOthers(open);
    EXPECT_EQ(text(platform::distrustReason(open.c_str(), exeDir.c_str())).rfind("writable by other users", 0), 0u);

    const std::string below = tree.file("app/shared/sub/lib.so");
    openToOthers(tree.path("app/shared"));
    const std::string reason = text(platform::distrustReason(below.c_str(), exeDir.c_str()));
    EXPECT_NE(reason.find("directory '"), std::string::npos) << reason;
    EXPECT_NE(reason.find("shared' is writable by other users"), std::string::npos) << reason;

    openToOthers(exeDir);
#ifndef _WIN32
    // Here a directory open to others anywhere above refuses what lies below,
    // unless it is sticky.
    EXPECT_EQ(text(platform::distrustReason(own.c_str(), exeDir.c_str())),
              "directory '" + exeDir + "' is writable by other users");
    std::filesystem::permissions(exeDir, std::filesystem::perms::sticky_bit, std::filesystem::perm_options::add);
#endif
    EXPECT_EQ(text(platform::distrustReason(own.c_str(), exeDir.c_str())), "");
    EXPECT_TRUE(platform::liesWithin(own.c_str(), exeDir.c_str()));
    EXPECT_FALSE(platform::liesWithin(tree.path("elsewhere").c_str(), exeDir.c_str()));
}

// The external configuration beside the executable: one others could change
// is passed over with one warning line, and the next candidate is read.
TEST(TrustOnThisSystem, AnExternalConfigurationOthersMayChangeIsPassedOver) {
    TempTree tree;
    const std::string exe = tree.file("app/tool", "not an executable");
    const std::string planted = tree.file("app/tool.cfg", "\xEF\xBB\xBFjvmdll /planted/lib.so\r\n");
    tree.file("app/tool.config", "\xEF\xBB\xBFjvmdll /own/lib.so\r\n");
    openToOthers(planted);
    testing::internal::CaptureStderr();
    LaunchConfig config(false);
    config.loadFrom(ByteString(exe.c_str()), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text(config.firstValue("jvmdll", false, true)), "/own/lib.so");
    EXPECT_NE(err.find("hux: warning: ignoring '" + planted + "': writable by other users"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
}
