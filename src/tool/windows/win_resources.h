// The Windows resources the packer writes: icons (from .ico or .png files),
// version information and the application manifest; and their decoding for
// `hux inspect`. Pure byte work, no resource toolchain.
#pragma once

#include "tool/windows/win_icons.h"
#include "tool/windows/win_manifest.h"
#include "tool/windows/win_version_info.h"
