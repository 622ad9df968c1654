// hux: packs Java applications into launcher executables and inspects them.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/files.h"
#include "platform/process.h"
#include "tool/payload/file_names.h"
#include "tool/installers/installer_command.h"
#include "tool/pack_command.h"
#include "tool/payload/payload_listing.h"
#include "tool/text_files.h"

namespace {

// The arguments with each @FILE replaced by the arguments FILE holds; false
// after telling why one cannot be read.
bool expandArgumentFiles(const std::vector<std::string>& given, std::vector<std::string>& args) {
    for (const std::string& arg : given) {
        if (arg.size() < 2 || arg[0] != '@') {
            args.push_back(arg);
            continue;
        }
        std::ifstream in(hux::tool::pathOf(arg.substr(1)), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in || !hux::tool::splitArgumentFile(text.str(), args)) {
            std::cerr << "hux: " << (in ? "an argument in '" : "cannot read the argument file '") << arg.substr(1)
                      << (in ? "' has no closing quote\n" : "'\n");
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"hux: turns a Java application into one executable", "hux"};
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "hux " HUX_VERSION);

    // Paths are UTF-8 text throughout; on Windows the arguments are read from
    // the wide command line, so that any file name comes through.
    hux::platform::usePathsInUtf8();
    std::vector<std::string> given;
    if (!hux::platform::utf8Arguments(given)) given.assign(argv + 1, argv + argc);
    std::vector<std::string> args;
    if (!expandArgumentFiles(given, args)) return 2;
    std::reverse(args.begin(), args.end());  // as CLI11 takes them

    hux::tool::PackCommand pack(app);
    std::string inspectPath;
    auto* insp =
        app.add_subcommand("inspect", "Show what a packed executable holds: its configuration and the files in it");
    insp->add_option("file", inspectPath, "A packed executable")->required();
    hux::tool::InstallerCommand installer(app);

    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        // Help and version requests print as usual; a mistake on the command
        // line is one line, like every other refusal.
        if (e.get_exit_code() == 0) return app.exit(e);
        const std::string command = pack.given()        ? "hux pack: "
                                    : *insp             ? "hux inspect: "
                                    : installer.given() ? "hux installer: "
                                                        : "hux: ";
        std::cerr << command << e.what() << " (see --help)\n";
        return 2;
    }

    if (!pack.given() && !*insp && !installer.given()) {
        std::cerr << "hux: name a command: pack, inspect or installer (see --help)\n";
        return 2;
    }
    if (installer.given()) return installer.run();
    if (*insp) {
        std::string error;
        if (!hux::tool::inspect(inspectPath, std::cout, error)) {
            std::cerr << "hux inspect: " << error << "\n";
            return 1;
        }
        return 0;
    }
    return pack.run();
}
