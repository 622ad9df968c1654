// The filter every runtime candidate passes through, in the order the
// search's sources yield them: readable (checked where the candidate is made),
// not tried before, within the limits where its release file gives its
// version, loadable.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "common/byte_string.h"
#include "config/launch_config.h"
#include "runtime/discovery.h"

namespace hux {

class CandidateFilter {
public:
    CandidateFilter(const LaunchConfig& config, RuntimeChoice& choice);

    bool taken() const { return !choice_.library.empty(); }

    // Offers one candidate (empty: the source yielded none); true when it is
    // chosen and the search ends.
    bool offer(const ByteString& library, const char* source);

    // Why the last candidate offered was passed over ("is Java 11, below
    // minjre 17"), its directory being the subject.
    const ByteString& verdict() const { return verdict_; }
    // Offers a candidate tried before again, its files having been replaced.
    bool retry(const ByteString& library, const char* source);

    // Settles why nothing was chosen, when nothing was.
    void finish();

private:
    bool withinLimits(const ByteString& library, const ByteString& version, const char* source);
    // Records why the candidate just tried was passed over.
    void passOver(std::string_view what, const ByteString& version = {}, std::string_view limit = {},
                  const ByteString& bound = {});

    RuntimeChoice& choice_;
    const ByteString min_;
    const ByteString max_;
    std::vector<std::pair<ByteString, ByteString>> tried_;  // each library offered, and why it was passed over
    ByteString verdict_;
    ByteString highestTooLow_;
    ByteString lowestTooHigh_;
    int unloadable_ = 0;
};

}  // namespace hux
