// What the packer checks in a configuration before it writes it: the lines
// the launcher would misread, ignore or find missing only at run time.
#pragma once

#include <string>
#include <vector>

namespace hux::tool {

// The key of a configuration line as the launcher matches it: the leading run
// of letters, digits and '_' (empty when the line starts otherwise).
std::string lineKey(const std::string& line);
// The value after the key: blanks, then one optional '=', then blanks removed.
std::string lineValue(const std::string& line);

struct ConfigPolicy {
    bool requireMain = true;       // refuse a configuration without `mainclass`
    bool classResources = true;    // add `compatible true` unless a line sets `compatible`
    bool quietSharingNote = true;  // add the option that silences the class-data sharing note
    bool windowsTarget = false;    // file names compare without regard to case
    // The jars are flattened: unless the configuration says otherwise, the
    // JDK's own application loader stays the system class loader, so the
    // application's classes (served by it from the executable) have the
    // system loader as their loader, as with `java -cp`.
    bool flatten = false;
    // `--fast`: the class-data archive that fits the runtime (`cds auto`)
    // unless a line says otherwise.
    bool classDataCache = false;
};

// Checks `lines` and adds the default lines the policy asks for. Returns false
// with `error` for a configuration that cannot run; `warnings` receives one
// line for each thing that will not do what it seems to.
bool checkConfiguration(std::vector<std::string>& lines, const ConfigPolicy& policy, std::vector<std::string>& warnings,
                        std::string& error);

// A warning when `configPath` is where the executable at `outputPath` looks
// for its external configuration (so it would be read twice); empty otherwise
// or when the block disables the external file.
std::string externalConfigWarning(const std::string& configPath, const std::string& outputPath,
                                  const std::vector<std::string>& lines, bool windowsTarget);

}  // namespace hux::tool
