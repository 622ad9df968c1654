// The packer's reading of manifest Class-Path attributes and its choice of
// the jars they bring, checked against what the Java runtime does with them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "tool/jars/class_path_jars.h"
#include "tool/jars/manifest.h"
#include "tool/payload/zip_writer.h"

namespace fs = std::filesystem;
using namespace hux::tool;

namespace {

std::vector<std::string> classPathOf(const std::string& manifest) {
    return manifestClassPath(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size());
}

using Entries = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;

// A scratch folder of jars whose manifests name each other.
class JarTree {
public:
    JarTree() : root_(dir_.path()) {}
    // Writes a jar at `relative` whose manifest has the given Class-Path
    // (none when empty) and one class named after the jar.
    std::string jar(const std::string& relative, const std::string& classPath = "") const {
        ZipWriter zip;
        std::string error;
        std::string manifest = "Manifest-Version: 1.0\r\n";
        if (!classPath.empty()) manifest += "Class-Path: " + classPath + "\r\n";
        EXPECT_TRUE(zip.add("META-INF/MANIFEST.MF", std::vector<uint8_t>(manifest.begin(), manifest.end()),
                            ZipWriter::Method::Deflated, error));
        EXPECT_TRUE(zip.add("x/" + fs::path(relative).stem().string() + ".class", {0xCA, 0xFE},
                            ZipWriter::Method::Stored, error));
        EXPECT_TRUE(zip.finish(error)) << error;
        return write(relative, std::string(zip.bytes().begin(), zip.bytes().end()));
    }
    std::string write(const std::string& relative, const std::string& bytes) const {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    std::string path(const std::string& relative) const { return (root_ / relative).string(); }

private:
    hux::test::TempDir dir_;
    fs::path root_;
};

bool mentions(const std::vector<std::string>& warnings, const std::string& text) {
    for (const std::string& w : warnings)
        if (w.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(ManifestClassPath, ReadsTheMainSectionAsTheRuntimeDoes) {
    EXPECT_EQ(classPathOf("Manifest-Version: 1.0\r\nClass-Path: a.jar  lib/b.jar\tc.jar\r\n"),
              (Entries{"a.jar", "lib/b.jar", "c.jar"}));
    // Any case of the name; LF and lone CR line ends; continuation lines join
    // without their leading space (so a space must come before the break).
    EXPECT_EQ(classPathOf("class-PATH: a.jar \n b.jar\rX: y\n"), (Entries{"a.jar", "b.jar"}));
    EXPECT_EQ(classPathOf("Class-Path: lib/lo\r\n ng.jar\r\n"), (Entries{"lib/long.jar"}));
    // The last of repeated attributes wins.
    EXPECT_EQ(classPathOf("Class-Path: first.jar\r\nClass-Path: second.jar\r\n"), (Entries{"second.jar"}));
    // A last line without a line end is dropped; other sections do not count.
    EXPECT_EQ(classPathOf("Manifest-Version: 1.0\r\nClass-Path: a.jar"), Entries{});
    EXPECT_EQ(classPathOf("Manifest-Version: 1.0\r\n\r\nName: p/\r\nClass-Path: a.jar\r\n"), Entries{});
    // Not the attribute: no space after the colon, another name, an empty value.
    EXPECT_EQ(classPathOf("Class-Path:a.jar\r\nClass-Paths: b.jar\r\nX-Class-Path: c.jar\r\n"), Entries{});
    EXPECT_EQ(classPathOf("Class-Path: \r\n"), Entries{});
    EXPECT_EQ(classPathOf(""), Entries{});
}

TEST(ManifestClassPath, RemovalTakesTheAttributeAndItsContinuationsOnly) {
    bool removed = false;
    EXPECT_EQ(withoutClassPath("Manifest-Version: 1.0\r\nClass-Path: a.jar\r\n b.jar\r\nMain-Class: M\r\n\r\n"
                               "Name: p/\r\nClass-Path: kept\r\n",
                               removed),
              "Manifest-Version: 1.0\r\nMain-Class: M\r\n\r\nName: p/\r\nClass-Path: kept\r\n");
    EXPECT_TRUE(removed);
    // A line ended by a lone CR before the removed one keeps its own end: the
    // LF of the empty line after must not join it as CR LF (which would pull
    // the next section's Class-Path into the main section).
    const std::string loneCr = "X: y\rClass-Path: a.jar\r\n\nClass-Path: b.jar\r\n";
    const std::string kept = withoutClassPath(loneCr, removed);
    EXPECT_EQ(kept, "X: y\r\n\nClass-Path: b.jar\r\n");
    EXPECT_EQ(classPathOf(kept), Entries{});
    const std::string none = "Manifest-Version: 1.0\nX-Long: a\n b\n";
    EXPECT_EQ(withoutClassPath(none, removed), none);
    EXPECT_FALSE(removed);
}

TEST(ManifestMultiRelease, ReadAsTheRuntimeReadsItAndAddedAtTheEndOfTheMainSection) {
    auto says = [](const std::string& m) {
        return saysMultiRelease(reinterpret_cast<const uint8_t*>(m.data()), m.size());
    };
    EXPECT_TRUE(says("Manifest-Version: 1.0\r\nMulti-Release: true\r\n"));
    EXPECT_TRUE(says("multi-release: TRUE\n"));
    EXPECT_FALSE(says("Multi-Release: true \n"));                   // the runtime takes the value as it stands
    EXPECT_FALSE(says("Multi-Release: true"));                      // a last line without an end does not count
    EXPECT_FALSE(says("X: 1\n\nName: a/\nMulti-Release: true\n"));  // not in the main section
    EXPECT_FALSE(says("Multi-Release: tr\n ue-ish\n"));

    EXPECT_EQ(withMultiRelease("Manifest-Version: 1.0\r\nMain-Class: M\r\n\r\nName: p/\r\nX: y\r\n"),
              "Manifest-Version: 1.0\r\nMain-Class: M\r\nMulti-Release: true\r\n\r\nName: p/\r\nX: y\r\n");
    EXPECT_EQ(withMultiRelease("Manifest-Version: 1.0\nMulti-Release: false\n"),
              "Manifest-Version: 1.0\nMulti-Release: false\nMulti-Release: true\n");  // the last one wins
    EXPECT_EQ(withMultiRelease("A: b\nCut"), "A: b\nMulti-Release: true\nCut");
    EXPECT_EQ(withMultiRelease(""), "Multi-Release: true\r\n");
    const std::string already = "Manifest-Version: 1.0\nMulti-Release: True\n";
    EXPECT_EQ(withMultiRelease(already), already);
    std::string value;
    ASSERT_TRUE(
        manifestAttribute(reinterpret_cast<const uint8_t*>(already.data()), already.size(), "multi-release", value));
    EXPECT_EQ(value, "True");
}

TEST(ManifestSections, PackageAttributesComeFromTheirSectionElseTheMainOne) {
    const std::string text =
        "Manifest-Version: 1.0\r\nImplementation-Title: main\r\nimplementation-version: 1\r\n\r\n"
        "Name: a/b\r\n /\r\nImplementation-Title: sec\r\n tion\r\n\r\n\r\n"  // a continued name
        "Name: c/\r\nSealed: true\r\n\r\n"
        "Name: a/b/\r\nImplementation-Title: later\r\n\r\n"  // the same section again: the later value wins
        "Name: d/\r\nSealed: false\r\nCut";                  // a last line without an end does not count
    const ManifestSections m = readManifest(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ASSERT_EQ(m.sections.size(), 3u);
    EXPECT_EQ(*packageAttribute(m, "a/b/", "Implementation-Title"), "later");
    EXPECT_EQ(*packageAttribute(m, "a/b/", "Implementation-Version"), "1");
    EXPECT_EQ(*packageAttribute(m, "c/", "Implementation-Title"), "main");
    EXPECT_EQ(*packageAttribute(m, "c/", "sealed"), "true");
    EXPECT_EQ(*packageAttribute(m, "d/", "Sealed"), "false");
    EXPECT_EQ(packageAttribute(m, "e/", "Sealed"), nullptr);

    // A named section that does not start with "Name: " ends the reading, as
    // the runtime refuses the rest.
    const std::string broken = "A: 1\n\nX: y\n\nName: p/\nSealed: true\n";
    const ManifestSections b = readManifest(reinterpret_cast<const uint8_t*>(broken.data()), broken.size());
    EXPECT_TRUE(b.sections.empty());
    EXPECT_EQ(*findAttribute(b.main, "a"), "1");
}

TEST(ManifestSections, HeadersWrapAt72BytesAndSectionsFollowAnEndedBlock) {
    EXPECT_EQ(manifestHeader("Name", "a/"), "Name: a/\r\n");
    const std::string longValue = std::string(64, 'x') + "\xC3\xA9" + std::string(80, 'y');
    const std::string header = manifestHeader("Implementation-Title", longValue);
    // No line over 72 bytes, no character split, and it reads back whole.
    size_t start = 0;
    for (size_t end; (end = header.find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_LE(end - start, 72u);
        if (start > 0) {
            EXPECT_EQ(header[start], ' ');
            EXPECT_NE(static_cast<unsigned char>(header[start + 1]) & 0xC0, 0x80);
        }
    }
    EXPECT_EQ(start, header.size());
    const std::string text = "M: 1\r\n\r\n" + manifestHeader("Name", "p/") + header + "\r\n";
    const ManifestSections m = readManifest(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(*packageAttribute(m, "p/", "Implementation-Title"), longValue);

    const std::string section = "Name: p/\r\nSealed: true\r\n\r\n";
    EXPECT_EQ(withSections("M: 1\r\n", section), "M: 1\r\n\r\n" + section);
    EXPECT_EQ(withSections("M: 1\n\nName: q/\nX: y\n\n", section), "M: 1\n\nName: q/\nX: y\n\n" + section);
    EXPECT_EQ(withSections("M: 1\nCut", section), "M: 1\n\r\n" + section + "Cut");
    EXPECT_EQ(withSections("", section), "\r\n" + section);  // an empty main section first
    EXPECT_EQ(withSections("M: 1\n", ""), "M: 1\n");
    for (const std::string base : {"M: 1\r\n", "M: 1\nCut", "", "M: 1\n\nName: p/\nSealed: false\n"}) {
        const std::string out = withSections(base, section);
        const ManifestSections r = readManifest(reinterpret_cast<const uint8_t*>(out.data()), out.size());
        EXPECT_EQ(*packageAttribute(r, "p/", "Sealed"), "true") << base;
    }
}

TEST(ClassPathEntries, ResolveAsFileUrlsRelativeToTheJar) {
    ClassPathTarget t;
    std::string why;
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "util.jar", t, why)) << why;
    EXPECT_EQ(t.path, "/opt/app/lib/util.jar");
    EXPECT_TRUE(t.relative);
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "../ext/./a%20b%2Bc.jar", t, why));
    EXPECT_EQ(t.path, "/opt/app/ext/a b+c.jar");
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "file:/usr/share/java/x.jar#frag", t, why));
    EXPECT_EQ(t.path, "/usr/share/java/x.jar");
    EXPECT_FALSE(t.relative);
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "FILE:///usr/y.jar", t, why));
    EXPECT_EQ(t.path, "/usr/y.jar");
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "/abs/z.jar", t, why));
    EXPECT_EQ(t.path, "/abs/z.jar");
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "file:rel.jar", t, why));
    EXPECT_EQ(t.path, "/opt/app/lib/rel.jar");
    ASSERT_TRUE(resolveClassPathEntry("/opt/app/lib", "classes/", t, why));
    EXPECT_TRUE(t.directory);
    EXPECT_EQ(t.path, "/opt/app/lib/classes");
    // A ':' after a '/' is part of a relative name.
    ASSERT_TRUE(resolveClassPathEntry("/opt", "lib/a:b.jar", t, why));
    EXPECT_EQ(t.path, "/opt/lib/a:b.jar");

    for (const char* refused : {"http://host/a.jar", "jar:file:/a.jar!/", "C:/a.jar", "file://host/a.jar", "a%2.jar",
                                "a%zz.jar", "a%00.jar", "#only"}) {
        EXPECT_FALSE(resolveClassPathEntry("/opt", refused, t, why)) << refused;
        EXPECT_FALSE(why.empty()) << refused;
    }
}

TEST(ClassPathJars, FollowedDepthFirstOnceInTheRuntimeOrder) {
    JarTree tree;
    // main -> lib/a (-> c, lib/b), lib/b -> main (a cycle); then other.jar.
    const std::string main = tree.jar("app/main.jar", "lib/a.jar lib/b.jar");
    tree.jar("app/lib/a.jar", "c%20d.jar b.jar");
    tree.jar("app/lib/c d.jar");
    tree.jar("app/lib/b.jar", "../main.jar");
    const std::string other = tree.jar("other.jar");
    Files files{{"main.jar", main}, {"notes.txt", tree.write("notes.txt", "n")}, {"other.jar", other}};
    std::vector<std::string> warnings;
    addClassPathJars(files, warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    EXPECT_EQ(files, (Files{{"main.jar", main},
                            {"lib/a.jar", tree.path("app/lib/a.jar")},
                            {"lib/c d.jar", tree.path("app/lib/c d.jar")},
                            {"lib/b.jar", tree.path("app/lib/b.jar")},
                            {"notes.txt", tree.path("notes.txt")},
                            {"other.jar", other}}));
}

TEST(ClassPathJars, GivenJarsKeepTheirNamesAndLinksCountAsTheSameFile) {
    JarTree tree;
    const std::string main = tree.jar("app/main.jar", "util.jar alias.jar shared.jar");
    const std::string util = tree.jar("app/util.jar");
    fs::create_symlink("util.jar", tree.path("app/alias.jar"));
    const std::string shared = tree.jar("app/shared.jar");
    // util.jar is given later under its own name: it moves up to where the
    // Class-Path names it; the link to it adds nothing.
    Files files{{"lib/main.jar", main}, {"deps/util-1.0.jar", util}};
    std::vector<std::string> warnings;
    addClassPathJars(files, warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(files, (Files{{"lib/main.jar", main},
                            {"deps/util-1.0.jar", tree.path("app/util.jar")},
                            {"lib/shared.jar", tree.path("app/shared.jar")}}));
}

TEST(ClassPathJars, NamesStayInsideTheArchiveAndUnique) {
    JarTree tree;
    // "../x/dep.jar" would leave the archive from the top level: the file name
    // is used; two different dep.jar files get distinct names; a name the
    // launcher would not open as a jar gets ".jar".
    const std::string main =
        tree.jar("app/main.jar", "../x/dep.jar ../y/dep.jar " + ("file:" + tree.path("z/plain")) + " dep.jar");
    tree.jar("x/dep.jar");
    tree.jar("y/dep.jar");
    tree.jar("z/plain");
    tree.jar("app/dep.jar");
    Files files{{"main.jar", main}};
    std::vector<std::string> warnings;
    addClassPathJars(files, warnings);
    EXPECT_EQ(files, (Files{{"main.jar", main},
                            {"dep.jar", tree.path("x/dep.jar")},
                            {"dep-2.jar", tree.path("y/dep.jar")},
                            {"plain.jar", tree.path("z/plain")},
                            {"dep-3.jar", tree.path("app/dep.jar")}}));
}

TEST(ClassPathJars, WhatCannotBePackedIsOneWarningEach) {
    JarTree tree;
    const std::string main =
        tree.jar("main.jar", "missing.jar classes/ dir http://example.org/r.jar broken.jar a%zz.jar ok.jar");
    fs::create_directories(tree.path("classes"));
    fs::create_directories(tree.path("dir"));
    tree.write("broken.jar", "not a zip");
    tree.jar("ok.jar");
    Files files{{"main.jar", main}};
    std::vector<std::string> warnings;
    addClassPathJars(files, warnings);
    EXPECT_EQ(files, (Files{{"main.jar", main}, {"ok.jar", tree.path("ok.jar")}}));
    ASSERT_EQ(warnings.size(), 6u);
    EXPECT_TRUE(mentions(warnings,
                         "'main.jar': Class-Path jars that do not exist, left out as java skips them: "
                         "'missing.jar' (" +
                             tree.path("missing.jar") + ")"));
    EXPECT_TRUE(mentions(warnings, "'classes/'"));
    EXPECT_TRUE(mentions(warnings, "'" + tree.path("dir") + "' is a directory"));
    EXPECT_TRUE(mentions(warnings, "not a local file (http:)"));
    EXPECT_TRUE(mentions(warnings, "'" + tree.path("broken.jar") + "' is not a readable jar"));
    EXPECT_TRUE(mentions(warnings, "broken %-escape"));
}

TEST(ClassPathJars, AbsentJarsAreOneLinePerNamingJarInOneWording) {
    JarTree tree;
    const std::string saxon = tree.jar("saxon.jar", "a.jar b.jar c.jar ok.jar");
    const std::string one = tree.jar("one.jar", "gone.jar " + tree.path("gone-too.jar"));
    tree.jar("ok.jar");
    const std::string said = "Class-Path jars that do not exist, left out as java skips them: ";
    const struct {
        bool verbose;
        std::vector<std::string> warnings;
    } cases[] = {
        {false,
         {"'saxon.jar': " + said + "'a.jar' (" + tree.path("a.jar") + ") and 2 more (--verbose lists them)",
          "'one.jar': " + said + "'gone.jar' (" + tree.path("gone.jar") + ") and 1 more (--verbose lists them)"}},
        {true,
         {"'saxon.jar': " + said + "'a.jar' (" + tree.path("a.jar") + "), 'b.jar' (" + tree.path("b.jar") +
              "), 'c.jar' (" + tree.path("c.jar") + ")",
          "'one.jar': " + said + "'gone.jar' (" + tree.path("gone.jar") + "), '" + tree.path("gone-too.jar") + "'"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verbose);
        Files files{{"saxon.jar", saxon}, {"one.jar", one}};
        std::vector<std::string> warnings;
        addClassPathJars(files, warnings, c.verbose);
        EXPECT_EQ(files.size(), 3u);
        EXPECT_EQ(warnings, c.warnings);
    }
}
