// The strings main receives: the configured `argv` values split like a
// command line, then the launch's own arguments; and the command option that
// names them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/main_arguments.h"
#include "runtime/java_start.h"

using namespace hux;

namespace {

using V = std::vector<std::string>;

V texts(const V& argvValues, std::vector<const char*> args) {
    StringList values;
    for (const std::string& v : argvValues) values.append(v);
    V out;
    for (const ByteString& t :
         mainArgumentTexts(values, static_cast<int32_t>(args.size()), const_cast<char* const*>(args.data())))
        out.emplace_back(t.view());
    return out;
}

}  // namespace

TEST(MainArguments, ConfiguredValuesAreSplitAndComeFirst) {
    const struct {
        V argvValues;
        std::vector<const char*> args;
        V expected;
    } cases[] = {
        {{}, {}, {}},
        {{}, {"a b", ""}, {"a b", ""}},  // the launch's own arguments stay whole, empty ones too
        {{"-x \"two words\" y"}, {"z"}, {"-x", "two words", "y", "z"}},
        {{"one", "\"\" two"}, {}, {"one", "", "two"}},  // each value on its own; quotes give an empty piece
        {{"a\\\"b"}, {"c"}, {"a\"b", "c"}},             // a backslash escapes a quote
        {{"   "}, {"c"}, {"c"}},                        // blanks alone give nothing
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts(c.argvValues, c.args), c.expected) << (c.argvValues.empty() ? "" : c.argvValues[0]);
    }
}

TEST(MainArguments, WidenedFormsMatchTheTexts) {
    StringList values;
    values.append("p q");
    const char* args[] = {"r"};
    const std::vector<std::u16string> wide = mainArguments(values, 1, const_cast<char* const*>(args));
    EXPECT_EQ(wide, (std::vector<std::u16string>{u"p", u"q", u"r"}));
}

TEST(MainArguments, CommandOptionNamesClassAndArguments) {
    EXPECT_EQ(commandOption("a.Main", {}), "-Dsun.java.command=a.Main");
    EXPECT_EQ(commandOption("a.Main", {ByteString("x y"), ByteString("")}), "-Dsun.java.command=a.Main x y ");
}
