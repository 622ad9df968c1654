#include "runtime/candidate_filter.h"

#include <algorithm>
#include <string>

#include "config/config_values.h"
#include "config/debug_log.h"
#include "config/paths.h"
#include "platform/environment.h"
#include "platform/libraries.h"
#include "platform/vm_support.h"
#include "runtime/version_limits.h"

namespace hux {

namespace {

RuntimeLoadProbe& loadProbeOverride() {
    static RuntimeLoadProbe probe = nullptr;
    return probe;
}

// The real load step: the library is loaded as the start loads it (with the
// runtime's bin directory on PATH where dependencies are found through it) and
// must export a creation entry. PATH is put back when the candidate fails.
LoadOutcome loadCandidate(const ByteString& library, ByteString& error) {
    platform::addLibraryErrorMode();
    ByteString savedPath;
    const bool hadPath = platform::getEnv("PATH", savedPath);
    ByteString binDirectory = directoryOf(library.view());
    binDirectory.append("..");
    platform::DynamicLibrary loaded;
    LoadOutcome outcome = LoadOutcome::Loaded;
    if (!platform::loadWithDirectoryOnPath(loaded, library, binDirectory, true)) {
        std::string text(platform::lastLoadErrorText().view());
        for (size_t at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + library.length()))
            text.replace(at, 2, library.c_str());
        error.assign(text);
        outcome = LoadOutcome::NotLoadable;
    } else if (!loaded.symbol("JNI_CreateJavaVM") && !loaded.symbol("JNI_CreateJavaVM_Impl")) {
        loaded.unload();
        outcome = LoadOutcome::NoCreationEntry;
    }
    if (outcome != LoadOutcome::Loaded) {
        ByteString assignment("PATH=");
        if (hadPath) assignment.append(savedPath);
        platform::putEnv(assignment.c_str()).ignore();  // back as it was
        return outcome;
    }
    // The chosen library stays loaded for the process: the start and the
    // splash load the same file again, which only counts another reference.
    return outcome;
}

}  // namespace

CandidateFilter::CandidateFilter(const LaunchConfig& config, RuntimeChoice& choice)
    : choice_(choice), min_(config::minJre(config)), max_(config::maxJre(config)) {}

bool CandidateFilter::offer(const ByteString& library, const char* source) {
    if (library.empty() || taken()) return taken();
    for (const auto& [earlier, verdict] : tried_) {
        if (earlier == library) {
            debugLog("candidate %s (%s): tried already", shownPath(library.view()).c_str(), shownPath(source).c_str());
            verdict_ = verdict;
            return false;
        }
    }
    tried_.emplace_back(library, ByteString());
    ByteString version;
    if (!min_.empty() || !max_.empty()) {
        version = runtimeReleaseVersion(library);
        if (!version.empty() && !withinLimits(library, version, source)) return false;
    }
    ByteString error;
    RuntimeLoadProbe probe = loadProbeOverride() ? loadProbeOverride() : loadCandidate;
    switch (probe(library, error)) {
        case LoadOutcome::NotLoadable:
            debugLog("candidate %s (%s): does not load: %s", shownPath(library.view()).c_str(),
                     shownPath(source).c_str(), error.c_str());
            choice_.loadError = error;
            ++unloadable_;
            passOver("holds a runtime library that does not load");
            return false;
        case LoadOutcome::NoCreationEntry:
            debugLog("candidate %s (%s): exports no JNI_CreateJavaVM", shownPath(library.view()).c_str(),
                     shownPath(source).c_str());
            ++unloadable_;
            passOver("holds a runtime library without JNI_CreateJavaVM");
            return false;
        case LoadOutcome::Loaded: break;
    }
    choice_.library = library;
    choice_.version = version;
    if (!version.empty())
        debugLog("candidate %s (%s): version %s", shownPath(library.view()).c_str(), shownPath(source).c_str(),
                 version.c_str());
    debugLog("runtime library %s", shownPath(library.view()).c_str());
    return true;
}

bool CandidateFilter::retry(const ByteString& library, const char* source) {
    tried_.erase(std::remove_if(tried_.begin(), tried_.end(), [&](const auto& t) { return t.first == library; }),
                 tried_.end());
    if (!offer(library, source)) return false;
    --unloadable_;
    return true;
}

void CandidateFilter::finish() {
    if (taken()) return;
    if (!highestTooLow_.empty()) {
        choice_.failure = kVersionTooLow;
        choice_.closestVersion = highestTooLow_;
    } else if (!lowestTooHigh_.empty()) {
        choice_.failure = kVersionTooHigh;
        choice_.closestVersion = lowestTooHigh_;
    } else {
        choice_.failure = unloadable_ > 0 ? kRuntimeNotValid : kRuntimeNotFound;
    }
    debugLog("no runtime library found");
}

bool CandidateFilter::withinLimits(const ByteString& library, const ByteString& version, const char* source) {
    const int32_t verdict = compareVersionLimits(version.c_str(), min_.c_str(), max_.c_str());
    if (verdict == kVersionTooLow) {
        debugLog("candidate %s (%s): version %s is below minjre %s", shownPath(library.view()).c_str(),
                 shownPath(source).c_str(), version.c_str(), min_.c_str());
        if (highestTooLow_.empty() || compareVersionTexts(version.c_str(), highestTooLow_.c_str()) > 0)
            highestTooLow_ = version;
        passOver("is Java ", version, ", below minjre ", min_);
        return false;
    }
    if (verdict == kVersionTooHigh) {
        debugLog("candidate %s (%s): version %s is above maxjre %s", shownPath(library.view()).c_str(),
                 shownPath(source).c_str(), version.c_str(), max_.c_str());
        if (lowestTooHigh_.empty() || compareVersionTexts(version.c_str(), lowestTooHigh_.c_str()) < 0)
            lowestTooHigh_ = version;
        passOver("is Java ", version, ", above maxjre ", max_);
        return false;
    }
    return true;
}

void CandidateFilter::passOver(std::string_view what, const ByteString& version, std::string_view limit,
                               const ByteString& bound) {
    verdict_.assign(what);
    verdict_.append(version.view());
    verdict_.append(limit);
    verdict_.append(bound.view());
    tried_.back().second = verdict_;
}

void setRuntimeLoadProbeForTesting(RuntimeLoadProbe probe) { loadProbeOverride() = probe; }

}  // namespace hux
