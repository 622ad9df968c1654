// Standard stream redirection: which values share a target, append semantics
// of file targets, the process's standard error following a target and being
// put back, and command targets (where commands are shell lines).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/redirect.h"
#include "services/stream_redirector.h"
#include "support/test_support.h"

using namespace hux;
using platform::StdStream;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    // Text-mode writes of the C runtime end lines with CR LF on Windows.
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

void write(intptr_t handle, const std::string& text) { platform::writeToHandle(handle, text.data(), text.size()); }

// Waits up to `ms` for `path` to hold `expected`.
bool eventually(const std::string& path, const std::string& expected, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (slurp(path) == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return slurp(path) == expected;
}

}  // namespace

TEST(RedirectTargets, ByteEqualValuesShareOneTargetAndFailuresAreKept) {
    test::TempTree tree;
    StreamRedirector r;
    const ByteString log(tree.path("log.txt").c_str());
    RedirectTarget& first = r.targetFor(log);
    EXPECT_TRUE(first.output.isOpen());
    EXPECT_EQ(&r.targetFor(log), &first);
    EXPECT_EQ(r.targetCount(), 1);
    // Compared byte for byte: another spelling is another target.
    const ByteString upper(tree.path("LOG.txt").c_str());
    EXPECT_NE(&r.targetFor(upper), &first);
    EXPECT_EQ(r.targetCount(), 2);
    // A target that could not be opened stays in the list and is not opened
    // again for the same value.
    const ByteString missing(tree.path("later/out.txt").c_str());
    RedirectTarget& failed = r.targetFor(missing);
    EXPECT_FALSE(failed.output.isOpen());
    tree.dir("later");
    EXPECT_EQ(&r.targetFor(missing), &failed);
    EXPECT_FALSE(failed.output.isOpen());
    EXPECT_EQ(r.targetCount(), 3);

    EXPECT_TRUE(isCommandTarget(ByteString("|logger -t app")));
    EXPECT_TRUE(isCommandTarget(ByteString("|")));
    EXPECT_FALSE(isCommandTarget(ByteString("log|x.txt")));
    EXPECT_FALSE(isCommandTarget(ByteString(" |x")));
    EXPECT_FALSE(isCommandTarget(ByteString("")));
}

TEST(RedirectTargets, FileTargetsAppendAndNeverOverwriteEachOther) {
    test::TempTree tree;
    const std::string path = tree.file("log.txt", "older text\n");
    // Two targets on one file (two spellings of its name), written in turns,
    // as two launchers logging to the same file would.
    platform::OutputTarget a, b;
    ASSERT_TRUE(a.openFile(path.c_str()));
    ASSERT_TRUE(b.openFile(tree.path("./log.txt").c_str()));
    EXPECT_TRUE(a.unbuffered());
    write(a.handle(), "a1\n");
    write(b.handle(), "b1 longer line\n");
    write(a.handle(), "a2\n");
    a.close();
    b.close();
    EXPECT_EQ(slurp(path), "older text\na1\nb1 longer line\na2\n");
    // Missing files are created.
    platform::OutputTarget fresh;
    ASSERT_TRUE(fresh.openFile(tree.path("new.txt").c_str()));
    write(fresh.handle(), "x");
    fresh.close();
    EXPECT_EQ(slurp(tree.path("new.txt")), "x");
    // Invalid handles are ignored.
    write(platform::kNoStreamHandle, "lost");
    write(0, "lost");
}

TEST(RedirectTargets, StandardErrorFollowsItsTargetOnceAndIsPutBack) {
    test::TempTree tree;
    const std::string first = tree.file("err.txt", "old\n");
    const std::string second = tree.path("second.txt");
    {
        StreamRedirector r;
        r.redirect(StdStream::Error, ByteString(first.c_str()));
        const bool redirected = r.redirected(StdStream::Error);
        const bool needsJava = r.needsJava(StdStream::Error);
        std::fprintf(stderr, "from the C runtime\n");
        write(r.targetHandle(StdStream::Error), "through the handle\n");
        // A stream is redirected once only: a second value opens its target
        // but leaves the stream where it is.
        r.redirect(StdStream::Error, ByteString(second.c_str()));
        std::fprintf(stderr, "still the first\n");
        r.restore();
        std::fprintf(stderr, "[back on the original standard error]\n");
        EXPECT_TRUE(redirected);
        EXPECT_FALSE(needsJava);  // the standard handle reads back as the target
        EXPECT_FALSE(r.redirected(StdStream::Error));
        EXPECT_EQ(r.targetCount(), 0);
    }
    EXPECT_EQ(slurp(first), "old\nfrom the C runtime\nthrough the handle\nstill the first\n");
    EXPECT_EQ(slurp(second), "");
}

TEST(RedirectTargets, CommandsReadTheTargetAndDoNotHoldEachOthersPipes) {
    if (!test::commandsAreShellLines()) GTEST_SKIP() << "command targets are covered end to end here";
    test::TempTree tree;
    const std::string copied = tree.path("copied.txt");
    const std::string ended = tree.path("ended.txt");
    platform::OutputTarget copy, watcher, sleeper;
    ASSERT_TRUE(copy.startCommand(("cat > '" + copied + "'").c_str()));
    ASSERT_TRUE(watcher.startCommand(("cat > /dev/null; echo eof > '" + ended + "'").c_str()));
    // Started after the others: it must not hold their write ends open.
    ASSERT_TRUE(sleeper.startCommand("sleep 3"));
    EXPECT_FALSE(copy.unbuffered());
    write(copy.handle(), "piped line\n");
    copy.close();
    watcher.close();
    EXPECT_TRUE(eventually(copied, "piped line\n"));
    EXPECT_TRUE(eventually(ended, "eof\n", 3000)) << "the watcher never saw end-of-file";

    // A command that has ended: writes fail quietly instead of ending the
    // process with a broken-pipe signal.
    platform::OutputTarget gone;
    ASSERT_TRUE(gone.startCommand("exit 0"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    write(gone.handle(), std::string(200000, 'x'));
    SUCCEED();
}
