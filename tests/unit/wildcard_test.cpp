// Command-line splitting and wildcard expansion over a real directory tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "services/wildcard.h"
#include "support/test_support.h"

using namespace hux;
using hux::test::TempTree;
using hux::test::toVector;

namespace {

struct Split {
    std::vector<std::string> tokens;
    std::vector<int32_t> marks;
};

Split split(const std::string& line, bool withMarks = true) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    GrowArray<char*> tokens;
    GrowArray<int32_t> marks;
    const int32_t n = splitCommandLine(buffer.data(), tokens, withMarks ? &marks : nullptr);
    Split out;
    EXPECT_EQ(n, tokens.size());
    for (char* t : tokens) out.tokens.emplace_back(t);
    for (int32_t m : marks) out.marks.push_back(m);
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> expand(const std::string& pattern) {
    StringList out;
    expandPattern(pattern.c_str(), out);
    return toVector(out);
}

// Runs a test body in another current directory and goes back afterwards.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : previous_(platform::currentDirectory().value()) {
        EXPECT_TRUE(platform::setCurrentDirectory(dir.c_str()));
    }
    ~InDirectory() { platform::setCurrentDirectory(previous_.c_str()).ignore(); }

private:
    ByteString previous_;
};

using V = std::vector<std::string>;

}  // namespace

TEST(SplitCommandLine, BlanksQuotesAndBackslashes) {
    const struct {
        const char* line;
        V tokens;
    } cases[] = {
        {"prog a b", {"prog", "a", "b"}},
        {"  \tprog\t a  ", {"prog", "a"}},
        {"", {}},
        {" \t ", {}},
        {"prog \"my file.txt\" x", {"prog", "my file.txt", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"a\\\\\\\"b", {"a\\\"b"}},    // three backslashes and a quote
        {"a\\\\\"b x\"", {"a\\b x"}},  // two backslashes open a quoted part
        {"a\\\\b", {"a\\\\b"}},        // backslashes not before a quote stay
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\\\\\"b\"", {"a\\\\b"}},  // four before a quote: two remain
        {"C:\\dir\\ x\\", {"C:\\dir\\", "x\\"}},
        {"\"unterminated x", {"unterminated x"}},
        {"\"a\"\"b\"", {"ab"}},  // each quote toggles
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.line).tokens, c.tokens) << c.line;
        EXPECT_EQ(split(c.line, false).tokens, c.tokens) << c.line;
    }
}

TEST(SplitCommandLine, WildcardMarks) {
    const Split s = split("prog *.txt \"*.txt\" a\"*\"b* x?y \"my file.txt\" \"q\"?");
    EXPECT_EQ(s.tokens, (V{"prog", "*.txt", "*.txt", "a*b*", "x?y", "my file.txt", "q?"}));
    EXPECT_EQ(s.marks, (std::vector<int32_t>{0, 1, -1, -1, 1, 0, 1}));

    // Appending to a list that already holds tokens marks only the new ones and
    // pads the marks array to the token count.
    GrowArray<char*> tokens;
    GrowArray<int32_t> marks;
    char first[] = "one two";
    char second[] = "*";
    EXPECT_EQ(splitCommandLine(first, tokens, nullptr), 2);
    EXPECT_EQ(splitCommandLine(second, tokens, &marks), 3);
    ASSERT_EQ(marks.size(), 3);
    EXPECT_EQ(marks[0], 0);
    EXPECT_EQ(marks[2], 1);
}

TEST(ExpandPattern, MatchesFilesAndDirectoriesInATree) {
    TempTree tree;
    tree.file("a.txt");
    tree.file("B.TXT");
    tree.file("c.dat");
    tree.dir("docs");
    tree.dir("data");
    tree.file("src/one/F.java");
    tree.file("src/one/g.txt");
    tree.file("src/two/H.java");
    tree.file("src/top.java");
    const std::string r = tree.root();

    EXPECT_EQ(sorted(expand(r + "*.txt")), (V{r + "B.TXT", r + "a.txt"}));  // without regard to case
    EXPECT_EQ(sorted(expand(r + "d*")), (V{r + "data", r + "docs"}));       // directories too
    EXPECT_EQ(sorted(expand(r + "?.dat")), (V{r + "c.dat"}));
    EXPECT_EQ(expand(r + "x?y"), V{});
    EXPECT_EQ(expand(r + "a.txt"), V{r + "a.txt"});  // no wildcard: existence only
    EXPECT_EQ(expand(r + "zz.txt"), V{});
    EXPECT_EQ(expand(r + "nowhere/*"), V{});

    // One directory level through the middle component, with either separator;
    // files at the middle level are ignored.
    EXPECT_EQ(sorted(expand(r + "src\\*\\*.java")), (V{r + "src\\one\\F.java", r + "src\\two\\H.java"}));
    EXPECT_EQ(sorted(expand(r + "src/*/*.java")), (V{r + "src/one/F.java", r + "src/two/H.java"}));
    EXPECT_EQ(sorted(expand(r + "s*/*/g.txt")), (V{r + "src/one/g.txt"}));

    // Relative patterns are matched against the current directory.
    {
        InDirectory in(r);
        EXPECT_EQ(sorted(expand("src\\*\\*.java")), (V{"src\\one\\F.java", "src\\two\\H.java"}));
        EXPECT_EQ(sorted(expand("*.txt")), (V{"B.TXT", "a.txt"}));
    }
}

TEST(ExpandPattern, NamesHoldingWildcardsAreNotSearchedAgain) {
    TempTree tree;
    std::error_code ec;
    if (!std::filesystem::create_directory(tree.path("a*"), ec))
        GTEST_SKIP() << "this file system does not allow '*' in names";
    tree.file("a*/k.txt");
    EXPECT_EQ(expand(tree.root() + "a*/*.txt"), V{tree.root() + "a*/k.txt"});
}

TEST(ExpandArguments, ModesOverATree) {
    TempTree tree;
    tree.file("a.txt");
    tree.file("my file.txt");
    InDirectory in(tree.root());

    // The Windows road: the raw command line, split with marks.
    const auto run = [](const char* line, WildcardMode mode) {
        std::vector<char> buffer(line, line + std::strlen(line) + 1);
        GrowArray<char*> tokens;
        GrowArray<int32_t> marks;
        splitCommandLine(buffer.data(), tokens, &marks);
        StringList out;
        expandTokens(tokens.data(), marks.data(), tokens.size(), mode, out);
        return toVector(out);
    };
    V got = run("prog *.txt \"my file.txt\"", WildcardMode::Unquoted);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "prog");
    EXPECT_EQ(sorted({got[1], got[2]}), (V{"a.txt", "my file.txt"}));
    EXPECT_EQ(got[3], "my file.txt");
    EXPECT_EQ(run("prog \"*.txt\"", WildcardMode::Unquoted), (V{"prog", "*.txt"}));  // quoted: literal
    EXPECT_EQ(sorted(run("prog \"*.txt\"", WildcardMode::All)), (V{"a.txt", "my file.txt", "prog"}));  // All expands it
    EXPECT_EQ(run("prog x?y", WildcardMode::Unquoted), (V{"prog", "x?y"}));  // no match: as typed
    EXPECT_EQ(run("prog \"x\"?y", WildcardMode::All), (V{"prog", "x?y"}));
    EXPECT_EQ(run("prog *.txt", WildcardMode::None), (V{"prog", "*.txt"}));  // None expands nothing

    // WildcardMode::None copies the vector; on a system without a raw command line each
    // argument is a token and one still holding a wildcard counts as quoted.
    char prog[] = "prog";
    char pattern[] = "*.txt";
    char plain[] = "b";
    char* argv[] = {prog, pattern, plain, nullptr};
    StringList zero;
    expandArguments(3, argv, WildcardMode::None, zero);
    EXPECT_EQ(toVector(zero), (V{"prog", "*.txt", "b"}));
    ByteString raw;
    if (!platform::rawCommandLine(raw)) {
        StringList one;
        expandArguments(3, argv, WildcardMode::Unquoted, one);
        EXPECT_EQ(toVector(one), (V{"prog", "*.txt", "b"}));
        StringList two;
        expandArguments(3, argv, WildcardMode::All, two);
        const V all = toVector(two);
        ASSERT_EQ(all.size(), 4u);
        EXPECT_EQ(sorted({all[1], all[2]}), (V{"a.txt", "my file.txt"}));
        EXPECT_EQ(all[3], "b");
    }
}
