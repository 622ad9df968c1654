// Shared areas on Windows: named file mappings backed by the paging file, and
// the executable's shared data section.
#include "platform/shared_area.h"
#include "platform/win32/windows_support.h"

namespace hux::platform {

// The executable's shared data section: one copy for every process started from
// the same executable file.
__attribute__((section(".SHMMESS"), shared)) unsigned char executableArea[kExecutableAreaSize] = {};

SharedArea::~SharedArea() { close(); }

bool SharedArea::openNamed(const char* name, size_t size) {
    close();
    win32::ScopedHandle mapping(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), name));
    if (!mapping) return false;
    void* p = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!p) return false;
    handle_ = win32::handleValue(mapping.release());
    data_ = p;
    size_ = size;
    named_ = true;
    return true;
}

bool SharedArea::openExecutableArea() {
    close();
    data_ = executableArea;
    size_ = kExecutableAreaSize;
    named_ = false;
    return true;
}

void SharedArea::close() {
    if (named_ && data_) UnmapViewOfFile(data_);
    withdraw();
}

// The view keeps the mapping object, and with it its name, alive until the
// process ends; only the handle goes now.
void SharedArea::withdraw() {
    if (named_ && handle_ != -1) CloseHandle(win32::asHandle(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = -1;
    named_ = false;
}

}  // namespace hux::platform
