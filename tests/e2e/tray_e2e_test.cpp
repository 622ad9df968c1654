// Notification-area natives: the Windows core against the real shell and
// message window under Wine, the Java classes on every installed JDK, and on
// Linux the status items on a private session bus played by a scripted host
// and shown by a real panel (Xfce's) on a private X server.
#include <gtest/gtest.h>
#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "support/harness.h"
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
    TempDir dir;
    for (const std::string& jdk : jdks) {
        SCOPED_TRACE(jdk);
        const std::string exe = dir.file("tray-" + std::to_string(jdkMajorVersion(jdk)));
        RunResult p = pack(kLinux, exe, {"mainclass trayapp.Main", "jre_order c", "jvmdll " + jvmLibraryOf(jdk)},
                           {"lib/tray.jar=" + appJarDir() + "/tray.jar"});
        ASSERT_EQ(p.exitCode, 0) << p.err;
        // No bus here: the icons report no notification area and nothing waits.
        RunResult r =
            runOn(kLinux, exe, {}, RunOptions{"", {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.file("nobus")}}});
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

std::string packDesk(TempDir& dir) {
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
    TempDir dir;
    const std::string exe = packDesk(dir);
    ASSERT_FALSE(exe.empty());
    RunResult r =
        run({"/usr/bin/python3", sourceDir() + "/tests/e2e/tray_host.py", exe, sourceDir() + "/resources/hux.ico"},
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
        {"quick_reshows_owned", "1"},
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
    TempDir dir;
    const std::string exe = packDesk(dir);
    ASSERT_FALSE(exe.empty());
    struct Case {
        const char* name;
        std::map<std::string, std::optional<std::string>> env;
        const char* debugLine;
    };
    const std::vector<Case> cases{
        {"socket missing",
         {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.file("nobus")}, {"HUX_DEBUG", "1"}},
         "tray: cannot reach the session bus"},
        {"nothing names a bus",
         {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"XDG_RUNTIME_DIR", dir.path()}, {"HUX_DEBUG", "1"}},
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

namespace {

// A screenshot: the private X server keeps its screen as an XWD file
// (Xvfb -fbdir), read here whole.
struct Screen {
    int width = 0, height = 0;
    std::vector<uint32_t> rgb;  // 0xRRGGBB, rows top first
    uint32_t at(int x, int y) const { return rgb[static_cast<size_t>(y) * width + x]; }
};

uint32_t bigEndian32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8 | static_cast<uint8_t>(b[at + 3]);
}

// The 32-bit true-colour screen of an XWD file; empty when it is anything else.
Screen readScreen(const std::string& path) {
    Screen s;
    const std::string b = readFile(path);
    if (b.size() < 100) return s;
    const uint32_t headerSize = bigEndian32(b, 0), width = bigEndian32(b, 16), height = bigEndian32(b, 20),
                   byteOrder = bigEndian32(b, 28), bitsPerPixel = bigEndian32(b, 44), stride = bigEndian32(b, 48),
                   colours = bigEndian32(b, 76);
    const size_t start = headerSize + static_cast<size_t>(colours) * 12;
    if (bitsPerPixel != 32 || width > 8192 || height > 8192 || b.size() < start + size_t{stride} * height) return s;
    s.width = static_cast<int>(width), s.height = static_cast<int>(height);
    s.rgb.resize(size_t{width} * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t v = bigEndian32(b, start + size_t{y} * stride + size_t{x} * 4);
            // Byte order 0: least significant byte first.
            s.rgb[size_t{y} * width + x] =
                (byteOrder == 0 ? (v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000)) : v) & 0xFFFFFF;
        }
    }
    return s;
}

void writePng(const Screen& s, const std::string& path) {
    std::string raw;
    for (int y = 0; y < s.height; ++y) {
        raw += '\0';  // no row filter
        for (int x = 0; x < s.width; ++x) {
            const uint32_t v = s.at(x, y);
            raw += static_cast<char>(v >> 16), raw += static_cast<char>(v >> 8), raw += static_cast<char>(v);
        }
    }
    uLongf packedSize = compressBound(raw.size());
    std::string packed(packedSize, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
             raw.size());
    packed.resize(packedSize);
    auto be = [](uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    };
    auto chunk = [&](const std::string& type, const std::string& data) {
        const std::string body = type + data;
        return be(static_cast<uint32_t>(data.size())) + body +
               be(static_cast<uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
    };
    const std::string header = be(static_cast<uint32_t>(s.width)) + be(static_cast<uint32_t>(s.height)) +
                               std::string{8, 2, 0, 0, 0};  // 8-bit RGB
    std::ofstream(path, std::ios::binary)
        << "\x89PNG\r\n\x1a\n" + chunk("IHDR", header) + chunk("IDAT", packed) + chunk("IEND", "");
}

// The blue of the test icon (a gradient from 2F80ED to 154CA8): green well
// above red, blue well above green. Channels in the wrong order fail it.
bool iconBlue(uint32_t v) {
    const int r = static_cast<int>(v >> 16 & 0xFF), g = static_cast<int>(v >> 8 & 0xFF), b = static_cast<int>(v & 0xFF);
    return b >= 150 && b >= g + 60 && g >= r + 30;
}

struct Spot {
    int x, y;
};

// The icons drawn in rows [0, rows): runs of at least 10 columns holding the
// icon's blue, by their centres.
std::vector<Spot> iconsIn(const Screen& s, int rows) {
    std::vector<Spot> found;
    int runStart = -1, ySum = 0, yCount = 0;
    for (int x = 0; x <= s.width; ++x) {
        int count = 0, sum = 0;
        for (int y = 0; x < s.width && y < rows && y < s.height; ++y) {
            if (iconBlue(s.at(x, y))) ++count, sum += y;
        }
        if (count >= 4) {
            if (runStart < 0) runStart = x;
            ySum += sum, yCount += count;
        } else if (runStart >= 0) {
            if (x - runStart >= 10) found.push_back({(runStart + x - 1) / 2, ySum / yCount});
            runStart = -1, ySum = 0, yCount = 0;
        }
    }
    return found;
}

// Pixels from row `from` down that belong to an open menu (light on the
// black root window).
int menuPixels(const Screen& s, int from) {
    int n = 0;
    for (int y = from; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x) {
            const uint32_t v = s.at(x, y);
            if ((v >> 16 & 0xFF) >= 200 && (v >> 8 & 0xFF) >= 200 && (v & 0xFF) >= 200) ++n;
        }
    }
    return n;
}

const int kPanelSize = 32;

// One panel along the top holding the status tray plugin.
const char kPanelConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="icon-size" type="uint" value="24"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

bool havePanelTools() {
    return run({"sh", "-c",
                "command -v Xvfb && command -v dbus-daemon && command -v xfce4-panel && command -v xdotool"})
               .exitCode == 0;
}

// Polls `probe` every 100 ms until it holds or `timeoutMs` passes.
template <typename Probe>
bool within(int timeoutMs, Probe probe) {
    const int64_t deadline = hux::platform::steadyMs() + timeoutMs;
    while (!probe()) {
        if (hux::platform::steadyMs() > deadline) return false;
        hux::platform::sleepMs(100);
    }
    return true;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Kills a server of the test (and its process group) when the test ends,
// also when it fails midway: servers do not end with their standard input.
struct Server {
    Background process;
    Server(const std::vector<std::string>& argv, const RunOptions& options) : process(argv, options) {}
    ~Server() { process.finish(0); }
};

// Which icon ("first", "second") the callback line "click <icon> <message>"
// names for `message`; empty when there is none.
std::string clickedIcon(const std::string& out, const std::string& message) {
    std::istringstream in(out);
    std::string line;
    const std::string end = " " + message;
    while (std::getline(in, line)) {
        if (line.rfind("click ", 0) == 0 && line.size() > 6 + end.size() &&
            line.compare(line.size() - end.size(), end.size(), end) == 0) {
            return line.substr(6, line.size() - 6 - end.size());
        }
    }
    return std::string();
}

}  // namespace

// The tray program under Xfce's panel (its status tray plugin, the tray of
// most GTK desktops) on a private X server and session bus. The program
// starts before the panel, so its items register with a watcher that comes
// later; the test then reads the screen, clicks each icon, opens the menu and
// picks from it, and hides an icon. A failed run leaves its screenshots in
// <build>/test-output/tray/.
TEST(Tray, IconsAndMenuInXfcePanel) {
    if (!havePanelTools()) {
        if (std::getenv("HUX_REQUIRE_DESKTOP_PANEL"))
            FAIL() << "Xvfb, dbus-daemon, xfce4-panel and xdotool are required";
        GTEST_SKIP() << "no Xvfb, dbus-daemon, xfce4-panel or xdotool (scripts/install-deps test)";
    }
    std::signal(SIGPIPE, SIG_IGN);  // a program that died must fail the test, not end it
    const int64_t start = hux::platform::steadyMs();
    TempDir dir;
    const std::string exe = packDesk(dir);
    ASSERT_FALSE(exe.empty());
    const std::string outDir = buildDir() + "/test-output/tray";
    std::error_code ec;
    std::filesystem::remove_all(outDir, ec);

    Server x({"Xvfb", "-displayfd", "1", "-screen", "0", "400x300x24", "-fbdir", dir.path(), "-nolisten", "tcp"}, {});
    ASSERT_TRUE(x.process.waitForOutput("\n", 30000)) << "Xvfb did not start";
    const std::string config = dir.text() + "/config/xfce4/xfconf/xfce-perchannel-xml";
    std::filesystem::create_directories(config);
    std::ofstream(config + "/xfce4-panel.xml") << kPanelConfig;
    // The bus starts the settings daemon (xfconfd) itself, with this
    // environment: it reads the panel's configuration from the scratch folder.
    std::map<std::string, std::optional<std::string>> env{
        {"DISPLAY", ":" + firstLine(x.process.output())},
        {"XDG_CONFIG_HOME", dir.text() + "/config"},
        {"XDG_CACHE_HOME", dir.text() + "/cache"},
        {"XDG_DATA_HOME", dir.text() + "/data"},
        {"XDG_RUNTIME_DIR", std::nullopt},
        {"SESSION_MANAGER", std::nullopt},
        {"NO_AT_BRIDGE", "1"},  // no accessibility bus of its own
        {"GTK_A11Y", "none"},
    };
    // Its process group holds the settings daemon it starts.
    Server bus({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, RunOptions{"", env});
    ASSERT_TRUE(bus.process.waitForOutput("\n", 30000)) << "dbus-daemon did not start";
    env["DBUS_SESSION_BUS_ADDRESS"] = firstLine(bus.process.output());

    std::map<std::string, std::optional<std::string>> appEnv = env;
    appEnv["HUX_DEBUG"] = "1";
    Background app({exe}, RunOptions{"", appEnv});
    ASSERT_TRUE(app.waitForOutput("shown ", 60000)) << app.output();
    auto panel =
        std::make_unique<Server>(std::vector<std::string>{"xfce4-panel", "--disable-wm-check"}, RunOptions{"", env});

    const std::string screenFile = dir.file("Xvfb_screen0");
    std::vector<std::pair<std::string, Screen>> shots;  // the last of each step
    Screen screen;
    auto look = [&](const std::string& step) {
        screen = readScreen(screenFile);
        if (!shots.empty() && shots.back().first == step) shots.pop_back();
        shots.emplace_back(step, screen);
        return screen.width > 0;
    };
    auto click = [&](const Spot& at, const char* button) {
        return run({"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y), "click", button},
                   RunOptions{"", env})
                   .exitCode == 0;
    };
    struct SaveOnFailure {
        const std::vector<std::pair<std::string, Screen>>& shots;
        const std::string& dir;
        ~SaveOnFailure() {
            if (!::testing::Test::HasFailure()) return;
            std::filesystem::create_directories(dir);
            for (size_t i = 0; i < shots.size(); ++i) {
                if (shots[i].second.width) {
                    writePng(shots[i].second, dir + "/" + std::to_string(i + 1) + "-" + shots[i].first + ".png");
                }
            }
        }
    } saver{shots, outDir};
    const std::string seeShots = "\n(screenshots in " + outDir + ")\n";

    // Both icons show, in the icon's own colours (a pixmap in the wrong byte
    // order has none of its blue).
    std::vector<Spot> icons;
    const bool shown = within(30000, [&] {
        icons = look("icons") ? iconsIn(screen, kPanelSize) : std::vector<Spot>{};
        return icons.size() == 2;
    });
    ASSERT_TRUE(shown) << icons.size() << " icons in the panel" << seeShots << app.output();
    const int64_t iconsAfter = hux::platform::steadyMs() - start;

    // A left click on one icon and a middle click on the other: each reaches
    // the callback for its own icon, as a press and a release.
    ASSERT_TRUE(click(icons[0], "1"));
    ASSERT_TRUE(app.waitForOutput(" 514\n", 10000)) << app.output() << seeShots;
    ASSERT_TRUE(click(icons[1], "2"));
    ASSERT_TRUE(app.waitForOutput(" 520\n", 10000)) << app.output() << seeShots;
    const std::string left = clickedIcon(app.output(), "514"), middle = clickedIcon(app.output(), "520");
    EXPECT_NE(left, middle) << app.output();
    EXPECT_EQ(clickedIcon(app.output(), "513"), left) << app.output();

    // A right click opens the menu (the application hears the right click
    // and pops its menu up); its first entry, picked, is command 5.
    ASSERT_TRUE(click(icons[0], "3"));
    ASSERT_TRUE(app.waitForOutput(" 517\n", 10000)) << app.output() << seeShots;
    const bool menuOpen = within(10000, [&] { return look("menu") && menuPixels(screen, kPanelSize + 4) > 1000; });
    ASSERT_TRUE(menuOpen) << "no menu below the panel" << seeShots;
    ASSERT_EQ(run({"xdotool", "key", "Down", "Return"}, RunOptions{"", env}).exitCode, 0);
    EXPECT_TRUE(app.waitForOutput("command 5\n", 10000)) << app.output() << seeShots;
    // Opened again, the submenu's entry (past the separator) is command 7. A
    // tooltip may show meanwhile: far fewer light pixels than a menu.
    ASSERT_TRUE(within(10000, [&] { return look("menu closed") && menuPixels(screen, kPanelSize + 4) < 1000; }))
        << "the menu stayed open" << seeShots;
    ASSERT_TRUE(click(icons[1], "3"));
    ASSERT_TRUE(within(10000, [&] { return look("menu again") && menuPixels(screen, kPanelSize + 4) > 1000; }))
        << "no menu below the panel" << seeShots;
    ASSERT_EQ(run({"xdotool", "key", "Down", "Down", "Right", "Return"}, RunOptions{"", env}).exitCode, 0);
    EXPECT_TRUE(app.waitForOutput("command 7\n", 10000)) << app.output() << seeShots;

    // A hidden icon leaves the panel, and comes back when shown again.
    ASSERT_TRUE(app.send("hide second\n"));
    ASSERT_TRUE(app.waitForOutput("did hide second\n", 10000)) << app.output();
    EXPECT_TRUE(within(10000, [&] { return look("hidden") && iconsIn(screen, kPanelSize).size() == 1; }))
        << iconsIn(screen, kPanelSize).size() << " icons after hiding one" << seeShots;
    ASSERT_TRUE(app.send("show second\n"));
    ASSERT_TRUE(app.waitForOutput("did show second\n", 10000)) << app.output();
    EXPECT_TRUE(within(10000, [&] { return look("shown again") && iconsIn(screen, kPanelSize).size() == 2; }))
        << iconsIn(screen, kPanelSize).size() << " icons after showing it again" << seeShots;

    // A panel started anew (a new watcher) gets both icons again.
    panel.reset();
    EXPECT_TRUE(within(10000, [&] { return look("panel gone") && iconsIn(screen, kPanelSize).empty(); })) << seeShots;
    panel =
        std::make_unique<Server>(std::vector<std::string>{"xfce4-panel", "--disable-wm-check"}, RunOptions{"", env});
    EXPECT_TRUE(within(30000, [&] { return look("panel restarted") && iconsIn(screen, kPanelSize).size() == 2; }))
        << iconsIn(screen, kPanelSize).size() << " icons in the restarted panel" << seeShots;

    ASSERT_TRUE(app.send("quit\n"));
    RunResult r = app.finish(30000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // The icons were shown before the panel's watcher existed.
    EXPECT_NE(r.err.find("tray: on the session bus, watcher absent\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("tray: status notifier watcher present\n"), std::string::npos) << r.err;
    std::cout << "tray panel test: icons after " << iconsAfter << " ms, done after "
              << hux::platform::steadyMs() - start << " ms\n";
}
