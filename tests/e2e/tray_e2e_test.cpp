// Notification-area natives: the Windows core against the real shell and
// message window under Wine, the Java classes on every installed JDK, and on
// Linux the status items on a private session bus played by a scripted host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "harness.h"
#include "platform/threads.h"

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
        // No bus here: the icons report no notification area and nothing waits.
        RunResult r = runOn(kLinux, exe, {}, RunOptions{"", {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.file("nobus")}}});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(errorLines(r.err), "");
        EXPECT_NE(r.out.find("handles true true\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("menu true submenus 1\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("finalized many\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("done\n"), std::string::npos) << r.out;
    }
}

namespace {

bool haveDesktopBusTools() {
    return run({"sh", "-c", "command -v dbus-daemon && /usr/bin/python3 -c 'import dbus_next'"}).exitCode == 0;
}

std::string packDesk(Scratch& dir) {
    const std::vector<std::string> jdks = installedJdks();
    if (jdks.empty()) return std::string();
    const std::string exe = dir.file("desk");
    RunResult p = pack(kLinux, exe, {"mainclass trayapp.Desk", "jre_order c", "jvmdll " + jvmLibraryOf(jdks.front())},
                       {"lib/tray.jar=" + appJarDir() + "/tray.jar"});
    return p.exitCode == 0 ? exe : std::string();
}

}  // namespace

// A desktop played by tests/e2e/tray_host.py on a bus of its own: the watcher
// appears after the icons are shown, reads them, clicks them, opens and picks
// from the menu, watches changes, restarts, and sees the icons go.
TEST(Tray, StatusItemsOnAPrivateSessionBus) {
    if (!haveDesktopBusTools()) {
        if (std::getenv("HUX_REQUIRE_DESKTOP_BUS")) FAIL() << "dbus-daemon and python3-dbus-next are required";
        GTEST_SKIP() << "no dbus-daemon or python3-dbus-next";
    }
    Scratch dir;
    const std::string exe = packDesk(dir);
    ASSERT_FALSE(exe.empty());
    RunResult r = run({"/usr/bin/python3", sourceDir() + "/tests/e2e/tray_host.py", exe, sourceDir() + "/resources/hux.ico"},
                      RunOptions{dir.path(), {}, 120000, ""});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    auto o = observations(r.out);
    const std::map<std::string, std::string> expected{
        {"late_registrations", "2"},
        {"item_names_differ", "1"},
        {"title", "hux tray"},
        {"tooltip", "hux tray"},
        {"status", "Active"},
        {"category", "ApplicationStatus"},
        {"item_is_menu", "0"},
        {"pixmap_sizes", "16x16,32x32,48x48"},
        {"pixels_match", "1"},
        {"second_title", "second"},
        {"menu_version", "3"},
        // Before the first Popup the root shows the top-level menu.
        {"layout_before", "[_Open;-;More[Inner];Big__id]"},
        {"about_to_show_update", "0"},
        {"layout", "[_Open;-;More[Inner];Big__id]"},
        {"group_label", "_Open"},
        // Item 1001 is out of the command range: its pick is not delivered.
        {"menu_lines", "command 5,command 7"},
        {"change_signals", "NewIcon,NewTitle,NewToolTip"},
        {"changed_title", "new tip"},
        {"layout_updated", "1"},
        {"grown_layout", "[_Open;;More;Big__id;Later]"},
        {"reregistrations", "2"},
        {"hidden_gone", "1"},
        {"reshown_registered", "1"},
        {"exit", "0"},
        {"quit_gone", "1"},
        {"host", "finished"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(o[key], value) << key << "\n" << r.out << r.err;
    // Showing without a watcher does not wait on the bus.
    EXPECT_LT(std::stoi(o["shown_ms_without_watcher"].empty() ? "99999" : o["shown_ms_without_watcher"]), 1000);
    // Clicks arrive as press and release, as the Windows shell sends them.
    EXPECT_NE(r.err.find("tray: on the session bus, watcher absent"), std::string::npos) << r.err;
}

TEST(Tray, NoSessionBusReportsNoNotificationArea) {
    Scratch dir;
    const std::string exe = packDesk(dir);
    ASSERT_FALSE(exe.empty());
    struct Case {
        const char* name;
        std::map<std::string, std::optional<std::string>> env;
        const char* debugLine;
    };
    const std::vector<Case> cases{
        {"socket missing", {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.file("nobus")}, {"HUX_DEBUG", "1"}},
         "tray: cannot reach the session bus"},
        {"nothing names a bus", {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", dir.path()}, {"HUX_DEBUG", "1"}},
         "tray: no session bus"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t start = hux::platform::steadyMs();
        RunResult r = runOn(kLinux, exe, {}, RunOptions{"", c.env, 60000, "hide second\nquit\n"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("did hide second\ndone\n"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.debugLine), std::string::npos) << r.err;
        EXPECT_LT(hux::platform::steadyMs() - start, 30000);
    }
}
