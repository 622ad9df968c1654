// The packed `option` lines tried on the JVMs the packer can run: the
// launcher creates its JVM with "ignore unrecognised options", so an option
// that a runtime does not know has no effect there without a word.
#pragma once

#include <string>
#include <vector>

namespace hux::tool {

// The `java` programs of the runtime homes in `homes` that this host can run
// (bin/java, or bin/java.exe where `windowsHost`), each once.
std::vector<std::string> runnableJavas(const std::vector<std::string>& homes, bool windowsHost);

// Whether an option line's value is checked on a JVM: options of the machine
// itself ("-X…"), without references to expand at run time and without
// files that a trial run would write or read.
bool checkedOnJvm(const std::string& option);

// Runs each of `javas` once with every checked option of `lines` and
// "-version" (`scratch` names a file for its output); where a run fails,
// each option alone, and adds one warning for each option that a JVM
// refuses, with the JVM's own first line. Also warns about an "@file" option,
// which the JVM never reads.
void checkOptionLines(const std::vector<std::string>& lines, const std::vector<std::string>& javas,
                      const std::string& scratch, std::vector<std::string>& warnings);

}  // namespace hux::tool
