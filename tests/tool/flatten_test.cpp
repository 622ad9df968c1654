// The flattener's merging of the files that readers take from every jar,
// checked against what those readers make of the separate copies.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "support/temp_dir.h"
#include "archive/zip_reader.h"
#include "tool/jars/flatten.h"
#include "tool/jars/index_files.h"
#include "tool/payload/zip_writer.h"

using namespace hux::tool;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(Properties, SplitAsJavaPropertiesSplitsThem) {
    // What java.util.Properties reads from this text, escapes left as written.
    const std::string text =
        "# comment \\\nnot.continued=1\n  ! also comment\n\na = 1\nb:2\nc 3\nd\\ key = x\\\n    y\\\\\ne=\\\n\n"
        " f \t= tab\r\ng=last\\\r\n  line\rh=\nk=first\nk=second\n=empty key\nmulti=a,\\\n  b\nend\\";
    EXPECT_EQ(rawProperties(text), (Pairs{{"not.continued", "1"},
                                          {"a", "1"},
                                          {"b", "2"},
                                          {"c", "3"},
                                          {"d\\ key", "xy\\\\"},
                                          {"e", ""},
                                          {"f", "tab"},
                                          {"g", "lastline"},
                                          {"h", ""},
                                          {"k", "second"},
                                          {"", "empty key"},
                                          {"multi", "a,b"},
                                          {"end", ""}}));
    // A line that a backslash continues but that holds nothing yet leaves
    // the logical line empty: what follows is a blank line or a comment.
    EXPECT_EQ(rawProperties("\\\n\n"), Pairs{});
    EXPECT_EQ(rawProperties("\\\n!10\n"), Pairs{});
    EXPECT_EQ(rawProperties("C\r\n\\\r!10"), (Pairs{{"C", ""}}));
    EXPECT_EQ(rawProperties("a\\\n   \nb=1"), (Pairs{{"a", ""}, {"b", "1"}}));
}

TEST(Flatten, IndexesThatReadersTakeFromEveryJarReadAsAllTheCopies) {
    EXPECT_TRUE(Flattener::isIndex("META-INF/spring.factories"));
    EXPECT_TRUE(Flattener::isIndex("META-INF/spring.handlers"));
    EXPECT_TRUE(Flattener::isIndex("META-INF/spring/org.example.AutoConfiguration.imports"));
    EXPECT_TRUE(Flattener::isIndex("META-INF/io.netty.versions.properties"));
    EXPECT_FALSE(Flattener::isIndex("META-INF/spring/a/b.imports"));
    EXPECT_FALSE(Flattener::isIndex("META-INF/spring/.imports.txt"));
    EXPECT_FALSE(Flattener::isIndex("META-INF/services/"));
    EXPECT_FALSE(Flattener::isIndex("META-INF/services/a/b"));
    EXPECT_FALSE(Flattener::isIndex("app/spring.handlers"));
    EXPECT_TRUE(Flattener::isIndex("META-INF/javamail.providers"));
    EXPECT_TRUE(Flattener::isIndex("META-INF/javamail.address.map"));
    EXPECT_FALSE(Flattener::isIndex("META-INF/javamail.default.providers"));  // read from the first jar only

    ZipWriter zip;
    std::set<std::string> names;
    Flattener flattener(zip, names);
    auto add = [&](const std::string& name, const std::string& text) {
        flattener.addIndex(name, std::vector<uint8_t>(text.begin(), text.end()));
    };
    // Spring joins each factory key's lists of all copies, in class-path order.
    add("META-INF/spring.factories", "# first\nx.Api = a.One,\\\n  a.Two\ny.Other=a.Three\n");
    add("META-INF/spring.factories", "x.Api:b.One\nz.New=b.Two\ny.Other=\n");
    // Activation lets the first copy's type of an extension win and, within
    // a copy, the last: the copies are joined last first.
    add("META-INF/mime.types", "text/a x\ntext/a2 x");
    add("META-INF/mime.types", "text/b x y\n");
    // An empty copy (some jars have one) adds nothing.
    add("META-INF/services/x.Api", "");
    add("META-INF/services/x.Api", "a.Impl");
    // Groovy registers every copy's extension classes; name and version stay the first's.
    const std::string groovy = "META-INF/services/org.codehaus.groovy.runtime.ExtensionModule";
    add(groovy, "moduleName=nio\nmoduleVersion=1\nextensionClasses=a.Nio\nstaticExtensionClasses=\n");
    add(groovy, "moduleName=xml\nmoduleVersion=2\nextensionClasses=b.Xml, b.More\nstaticExtensionClasses=b.Static\n");
    // A copy whose last line a backslash continues does not swallow the next copy.
    add("META-INF/spring.handlers", "http\\://a=a.Handler\nlast=x\\");
    add("META-INF/spring.handlers", "http\\://b=b.Handler\r\n");
    std::string error;
    ASSERT_TRUE(flattener.finish(error)) << error;
    ASSERT_TRUE(zip.finish(error)) << error;
    hux::ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<hux::MemorySource>(zip.bytes().data(), zip.bytes().size())));
    std::map<std::string, std::string> entries;
    for (int32_t i = 0; i < reader.entryCount(); ++i) {
        const hux::ZipEntry& e = reader.entry(i);
        std::string data(e.size, '\0');
        ASSERT_TRUE(e.size == 0 || reader.readEntry(i, reinterpret_cast<uint8_t*>(&data[0])));
        entries[std::string(e.name, static_cast<size_t>(e.nameLength))] = data;
    }
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries["META-INF/mime.types"], "text/b x y\ntext/a x\ntext/a2 x\n");
    EXPECT_EQ(entries["META-INF/services/x.Api"], "a.Impl\n");
    EXPECT_EQ(
        entries[groovy],
        "moduleName=nio\nmoduleVersion=1\nextensionClasses=a.Nio,b.Xml, b.More\nstaticExtensionClasses=b.Static\n");
    EXPECT_EQ(entries["META-INF/spring.factories"], "x.Api=a.One,a.Two,b.One\ny.Other=a.Three\nz.New=b.Two\n");
    EXPECT_EQ(rawProperties(entries["META-INF/spring.handlers"]),
              (Pairs{{"http\\://a", "a.Handler"}, {"last", "x"}, {"http\\://b", "b.Handler"}}));
}

TEST(Flatten, HoconDefaultsJoinLastCopyFirstSoThatTheFirstCopyWins) {
    // reference.conf as the flattener writes it from `copies`, in class-path order.
    auto joined = [](const std::vector<std::string>& copies) {
        ZipWriter zip;
        std::set<std::string> names;
        Flattener flattener(zip, names);
        for (const std::string& copy : copies)
            flattener.addIndex("reference.conf", std::vector<uint8_t>(copy.begin(), copy.end()));
        std::string error, text;
        EXPECT_TRUE(flattener.finish(error) && zip.finish(error)) << error;
        hux::ZipReader reader;
        EXPECT_TRUE(reader.open(std::make_unique<hux::MemorySource>(zip.bytes().data(), zip.bytes().size())));
        EXPECT_EQ(reader.entryCount(), 1);
        if (reader.entryCount() != 1) return text;
        text.resize(reader.entry(0).size);
        EXPECT_TRUE(text.empty() || reader.readEntry(0, reinterpret_cast<uint8_t*>(&text[0])));
        return text;
    };
    // In one document a later value wins and objects merge: the first copy
    // comes last. A copy whose root has braces loses them (two braced roots
    // do not read as one document), and a byte-order mark goes.
    EXPECT_EQ(joined({"a.x = 1\nshared { k = a }",
                      "\xEF\xBB\xBF# json\n// too\n { \"b\" : { \"y\" : \"}\" } }\n# end\n\n", "c = 3\n"}),
              "c = 3\n\n# json\n// too\n  \"b\" : { \"y\" : \"}\" } \n# end\n\n\na.x = 1\nshared { k = a }\n");
    // A braced root closed on a line with a comment after the brace cannot be
    // told for sure: the first copy alone, as a class-path lookup reads it.
    EXPECT_EQ(joined({"a = 1\n", "{ b = 2 } # closed\n"}), "a = 1\n");
    EXPECT_EQ(joined({"a = 1\n", "{\n b = 2\n"}), "a = 1\n");
    // One copy stays as it is.
    EXPECT_EQ(joined({"\xEF\xBB\xBF{ a = 1 }"}), "\xEF\xBB\xBF{ a = 1 }");
}

TEST(Flatten, PluginCachesOfTheLoggingLibraryJoinTheirCategories) {
    const std::string plugins = "META-INF/org/apache/logging/log4j/core/config/plugins/Log4j2Plugins.dat";
    ASSERT_TRUE(Flattener::isIndex(plugins));
    auto name = [](const std::string& s) { return std::string{'\0', static_cast<char>(s.size())} + s; };
    auto entry = [&](const std::string& key) {
        return name(key) + name("a." + key) + name(key) + std::string("\x01\x00", 2);
    };
    // One category of two entries; then two categories, one of them again.
    const std::string first =
        std::string("\0\0\0\x01", 4) + name("core") + std::string("\0\0\0\x02", 4) + entry("console") + entry("file");
    const std::string second = std::string("\0\0\0\x02", 4) + name("converter") + std::string("\0\0\0\x01", 4) +
                               entry("v1level") + name("Core") + std::string("\0\0\0\x01", 4) + entry("console");
    ZipWriter zip;
    std::set<std::string> names;
    Flattener flattener(zip, names);
    for (const std::string& copy : {first, second.substr(0, second.size() - 3), second, first + "trailing"})
        flattener.addIndex(plugins, std::vector<uint8_t>(copy.begin(), copy.end()));
    std::string error;
    ASSERT_TRUE(flattener.finish(error)) << error;
    ASSERT_TRUE(zip.finish(error)) << error;
    hux::ZipReader reader;
    ASSERT_TRUE(reader.open(std::make_unique<hux::MemorySource>(zip.bytes().data(), zip.bytes().size())));
    ASSERT_EQ(reader.entryCount(), 1);
    std::string merged(reader.entry(0).size, '\0');
    ASSERT_TRUE(reader.readEntry(0, reinterpret_cast<uint8_t*>(&merged[0])));
    // The cut copy is left out (its reader fails on it), what follows a
    // copy's categories is not taken, and the reader's own rules (category
    // names without regard to case, the first entry of a name wins) apply to
    // the joined list as they did across the copies.
    EXPECT_EQ(merged, std::string("\0\0\0\x04", 4) + first.substr(4) + second.substr(4) + first.substr(4));
}

TEST(Flatten, ThePackerNamesLibrariesThatNeedAJarFile) {
    auto jar = [](const std::vector<std::string>& names) {
        ZipWriter zip;
        std::string error;
        for (const std::string& name : names)
            EXPECT_TRUE(zip.add(name, {'x'}, ZipWriter::Method::Deflated, error)) << error;
        EXPECT_TRUE(zip.finish(error)) << error;
        return zip.bytes();
    };
    EXPECT_NE(nestedJarHint(jar({"a/B.class", "org/python/core/PySystemState.class"})).find("Jython"),
              std::string::npos);
    EXPECT_NE(nestedJarHint(jar({"org/springframework/core/io/support/PathMatchingResourcePatternResolver.class"}))
                  .find("Spring"),
              std::string::npos);
    EXPECT_NE(nestedJarHint(jar({"org/apache/tools/ant/launch/Launcher.class"})).find("Ant"), std::string::npos);
    for (const char* pathManager : {"com/intellij/openapi/application/PathManager.class",
                                    "org/jetbrains/kotlin/com/intellij/openapi/application/PathManager.class"})
        EXPECT_NE(nestedJarHint(jar({pathManager})).find("Kotlin"), std::string::npos) << pathManager;
    // Only the class itself counts, and nothing in a plain jar or in bytes that are no jar.
    EXPECT_EQ(nestedJarHint(jar({"org/python/core/PySystemState.java", "app/Main.class"})), "");
    EXPECT_EQ(nestedJarHint(jar({"x/org/python/core/PySystemState.class"})), "");
    EXPECT_EQ(nestedJarHint({'P', 'K', 3, 4}), "");
}

TEST(Flatten, HiddenLicenceFilesAreSummedInOneLineAndHiddenClassesToldPerJar) {
    const hux::test::TempDir dir;
    // Each jar's entries, name to content; differing copies hide each other.
    const std::vector<std::pair<std::string, Pairs>> jars = {
        {"lib/first.jar",
         {{"META-INF/LICENSE", "first licence"},
          {"NOTICE.txt", "first"},
          {"a/A.class", "first A"},
          {"module-info.class", "module first"},
          {"META-INF/versions/11/module-info.class", "module first"}}},
        {"lib/second.jar",
         {{"META-INF/LICENSE", "second licence"},
          {"META-INF/NOTICE", "second"},
          {"NOTICE.txt", "second"},
          {"META-INF/licenses/x/COPYING", "x"},
          {"module-info.class", "module second"},
          {"META-INF/versions/11/module-info.class", "module second"}}},
        {"lib/third.jar",
         {{"META-INF/LICENSE", "third licence"},
          {"a/A.class", "third A"},
          {"META-INF/licenses/x/COPYING", "y"},
          {"meta/LICENSE.class", "a class, whatever its name"}}},
        {"lib/fourth.jar", {{"meta/LICENSE.class", "another class"}, {"a/License.txt", "not a notice here"}}},
        {"lib/fifth.jar", {{"a/License.txt", "hidden"}}},
    };
    ZipWriter packed;
    std::set<std::string> names;
    Flattener flattener(packed, names);
    std::vector<std::string> warnings;
    std::string error;
    for (const auto& [label, entries] : jars) {
        ZipWriter jar;
        for (const auto& [name, text] : entries)
            ASSERT_TRUE(
                jar.add(name, std::vector<uint8_t>(text.begin(), text.end()), ZipWriter::Method::Deflated, error))
                << error;
        ASSERT_TRUE(jar.finish(error)) << error;
        const std::string path = dir.write(label, std::string(jar.bytes().begin(), jar.bytes().end()));
        ASSERT_TRUE(flattener.addJar(path, label, warnings, error)) << error;
    }
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "'lib/third.jar': 1 entry is hidden by an earlier one ('a/A.class')",
                            "'lib/fourth.jar': 1 entry is hidden by an earlier one ('meta/LICENSE.class')",
                            "'lib/fifth.jar': 1 entry is hidden by an earlier one ('a/License.txt')",
                        }));
    EXPECT_EQ(flattener.hiddenNoticesWarning(),
              "4 licence and notice files in 2 jars are hidden by earlier jars' copies (first: 'lib/second.jar': "
              "'META-INF/LICENSE')");
    for (const char* notice : {"META-INF/LICENSE.md", "LICENCE", "META-INF/NOTICE", "META-INF/DEPENDENCIES",
                               "META-INF/licenses/x/y.txt", "COPYING.LESSER", "THIRD-PARTY.txt"})
        EXPECT_TRUE(Flattener::isNoticeFile(notice)) << notice;
    for (const char* other : {"org/x/LICENSE", "LICENSE.class", "META-INF/MANIFEST.MF", "META-INF/services/a.B"})
        EXPECT_FALSE(Flattener::isNoticeFile(other)) << other;
}
