// `hux pack --train ARGS`: the ahead-of-time cache of an application on the
// runtime it carries (JDK 24 or later), made at pack time by one headless run
// of the application on that very runtime, stored in the runtime image so
// that the launcher unpacks it with the runtime.
#pragma once

#include <string>
#include <vector>

namespace hux::tool {

struct PackRequest;

// How long the training run may take before it is asked to end, and how long
// it then has to write the cache before it is killed.
constexpr int kTrainingSeconds = 120;
constexpr int kTrainingGraceSeconds = 60;

// What is wrong with asking for a training run in `request`: it needs a
// runtime stored in the executable and a target this machine runs. Empty
// when nothing (or when no training is asked for).
std::string trainingProblem(const PackRequest& request);

// For a runtime image given (--embed-runtime), whether its Java can make
// the cache (24 or later, by its release file); false with `error`.
bool checkTrainingRuntime(const std::string& image, std::string& error);

// Splits the --train text into the run's arguments as a command line is
// split (white space between them, quotes around one with blanks); false when
// a quote is not closed.
bool splitTrainingArguments(const std::string& text, std::vector<std::string>& args);

// Makes the class-path jar and the cache inside `image`, a runtime image of
// the packer's own (staged or copied): the application flattened into
// <image>/hux-aot/app.jar with the fixed modification time the launcher gives
// it, then one run of `<image>/bin/java` with that jar as its class path, the
// main class of `lines`, the training arguments and `-Djava.awt.headless=true`,
// recording the classes it loads into <image>/hux-aot/app.aot. False with
// `error` when the image's Java is older than 24 or the jar cannot be made;
// a run that fails or makes no cache is one warning, and the image is then
// left without the jar and the cache.
bool trainRuntime(const PackRequest& request, const std::vector<std::string>& lines, const std::string& image,
                  std::vector<std::string>& warnings, std::string& error);

}  // namespace hux::tool
