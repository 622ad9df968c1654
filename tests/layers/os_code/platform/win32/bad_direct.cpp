// A Win32 file that goes around windows_support.h: rejected.
#include <windows.h>
