// A later launch handed over to the running instance: the Java serialisation
// of com.mordavin.hux.ForwardedLaunch (its arguments and working directory),
// written natively, so that the handing launch needs no virtual machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_string.h"

namespace hux {

// The message for a ForwardedLaunch object: the 4-byte kind word of a
// confirmed object (its receiver answers with a receipt) followed by the
// object's serialisation stream (stream header included), byte for byte what
// ObjectOutputStream writes for a fresh instance with these values.
ByteBuffer forwardedLaunchMessage(const std::vector<std::u16string>& args, const std::u16string& workingDirectory);

// Appends `text` as ObjectOutputStream writes a new String: TC_STRING with a
// 2-byte length, or TC_LONGSTRING with an 8-byte length past 65535 bytes,
// then the modified UTF-8 bytes (NUL as C0 80, each surrogate on its own).
void appendSerializedString(ByteBuffer& out, std::u16string_view text);

}  // namespace hux
