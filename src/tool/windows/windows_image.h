// Turns the Windows launcher stub into the application's own executable:
// icon, version information, manifest and subsystem, written into the
// stub's resource tree from any host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/windows/win_resources.h"

namespace hux::tool {

struct WindowsLook {
    std::string iconPath;      // .ico or .png; empty keeps the stub's icon
    std::string manifestPath;  // empty writes the default manifest
    VersionInfo version;       // empty writes no version information
    bool gui = false;          // GUI subsystem instead of console
    std::string fileName;      // the executable's file name (InternalName, OriginalFilename)
};

// Whether any option asks for a Windows-only change.
bool asksForWindowsLook(const WindowsLook& look);

// Rewrites `image` (a PE32+ stub without a payload) as `look` asks; false with
// one line in `error`. `imageAtFault`, when given, tells whether the image was
// what could not be used (rather than one of the user's files or fields).
bool applyWindowsLook(std::vector<uint8_t>& image, const WindowsLook& look, std::string& error,
                      bool* imageAtFault = nullptr);

// Sets the PE checksum of a complete executable (image and payload).
void updatePeChecksum(std::vector<uint8_t>& file);

}  // namespace hux::tool
