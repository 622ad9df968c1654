// Notification-area natives: the Windows core against the real shell and
// message window under Wine, and the Java classes on every installed JDK.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "harness.h"

using namespace hux::e2e;

namespace {

const Target kLinux{"linux-x64"};
const Target kWindows{"windows-x64"};

std::map<std::string, std::string> observations(const std::string& out) {
    std::map<std::string, std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) lines[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return lines;
}

std::string errorLines(const std::string& err) {
    std::istringstream in(err);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.find("warning") != std::string::npos || line.find("sharing") != std::string::npos) continue;
        out += line + "\n";
    }
    return out;
}

}  // namespace

TEST(Tray, ShellAndMessageWindowUnderWine) {
    const std::string helper = windowsBuildDir() + "/bin/tray_check.exe";
    if (!windowsStubAvailable() || std::getenv("DISPLAY") == nullptr) {
        if (std::getenv("HUX_REQUIRE_WINDOWS")) FAIL() << "the Windows build and a display are required";
        GTEST_SKIP() << "no Windows build or no display";
    }
    RunResult r = runOn(kWindows, helper, {}, RunOptions{"", {}, 120000, ""});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    auto o = observations(r.out);
    EXPECT_EQ(o["done"], "1") << r.out;
    EXPECT_EQ(o["early_window"], "none");
    EXPECT_EQ(o["window"], "found");
    EXPECT_EQ(o["window_visible"], "0");
    // The shell reports version 6 here: both balloon texts give the long record.
    EXPECT_EQ(o["shell"], "6");
    EXPECT_EQ(o["a_cbsize"], "504");
    EXPECT_EQ(o["b_cbsize"], "104");
    EXPECT_EQ(o["a_icon"], "loaded");
    EXPECT_EQ(o["a_tip_len"], "63");
    EXPECT_EQ(o["a_info_len"], "255");
    EXPECT_EQ(o["a_owner"], "window");
    EXPECT_EQ(o["hidden_change_tip_len"], "63");
    EXPECT_EQ(o["before_show_shell_has"], "0");
    EXPECT_EQ(o["after_show_shell_has"], "1");
    EXPECT_EQ(o["b_shell_has"], "1");
    EXPECT_EQ(o["a_refs"], "1");
    EXPECT_EQ(o["changed_tip"], "new tip");
    EXPECT_EQ(o["changed_info_len"], "255");
    EXPECT_EQ(o["changed_flags"], "-1");
    EXPECT_EQ(o["click"], "delivered");
    EXPECT_EQ(o["click_icon"], o["a_id"]);
    EXPECT_EQ(o["click_message"], "514");
    EXPECT_EQ(o["click_target"], "a");
    EXPECT_EQ(o["click_thread"], "window");
    EXPECT_EQ(o["commands"], "5,");
    EXPECT_EQ(o["command_result"], "0");
    EXPECT_EQ(o["menu_items"], "3");
    EXPECT_EQ(o["menu_item_id"], "50005");
    EXPECT_EQ(o["popup_shown"], "1");
    EXPECT_EQ(o["popup_commands"], "5,");
    EXPECT_EQ(o["menu_items_with_sub"], "4");
    EXPECT_EQ(o["sub_alive_after_parent"], "1");
    EXPECT_EQ(o["sub_alive_after_own"], "0");
    EXPECT_EQ(o["after_hide_shell_has"], "0");
    EXPECT_EQ(o["a_refs_after_hide"], "0");
    EXPECT_EQ(o["after_finalize_shell_has"], "0");
    EXPECT_EQ(o["count_after_finalize"], "2");
    EXPECT_EQ(o["after_remove_shell_has"], "0");
    EXPECT_EQ(o["count_after_remove"], "0");
    EXPECT_EQ(o["count_after_second_remove"], "1");
    EXPECT_EQ(o["late_shell_has"], "1");
}

TEST(Tray, JavaClassesOnEveryJdk) {
    const std::vector<std::string> jdks = installedJdks();
    ASSERT_FALSE(jdks.empty());
    Scratch dir;
    for (const std::string& jdk : jdks) {
        SCOPED_TRACE(jdk);
        const std::string exe = dir.file("tray-" + std::to_string(jdkMajorVersion(jdk)));
        RunResult p = pack(kLinux, exe, {"mainclass trayapp.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                           {"lib/tray.jar=" + appJarDir() + "/tray.jar"});
        ASSERT_EQ(p.exitCode, 0) << p.err;
        RunResult r = runOn(kLinux, exe);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(errorLines(r.err), "");
        EXPECT_NE(r.out.find("handles true true\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("menu true submenus 1\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("finalized many\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("done\n"), std::string::npos) << r.out;
    }
}
