// The Win32 handle owners: each handle is closed exactly once, by its last
// owner, and never by an owner it was moved or released away from.
#include <gtest/gtest.h>

#include <utility>

#include "platform/win32/windows_support.h"

namespace hux {
namespace {

using platform::win32::ScopedFindHandle;
using platform::win32::ScopedHandle;
using platform::win32::ScopedRegistryKey;

bool isOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

HANDLE newEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

TEST(ScopedHandle, ClosesOnceByItsLastOwner) {
    HANDLE raw = nullptr;
    {
        ScopedHandle first(newEvent());
        ASSERT_TRUE(first);
        raw = first.get();
        ScopedHandle second(std::move(first));
        EXPECT_FALSE(first);  // moved from: owns nothing, closes nothing
        EXPECT_EQ(second.get(), raw);
        {
            ScopedHandle third;
            third = std::move(second);
            EXPECT_TRUE(isOpen(raw));
        }
        EXPECT_FALSE(isOpen(raw));  // the last owner went
    }

    ScopedHandle held(newEvent());
    HANDLE replaced = held.get();
    held.reset(newEvent());
    EXPECT_FALSE(isOpen(replaced));
    EXPECT_TRUE(isOpen(held.get()));

    HANDLE kept = held.release();
    EXPECT_FALSE(held);
    EXPECT_TRUE(isOpen(kept));
    CloseHandle(kept);
}

TEST(ScopedHandle, FailureValuesOwnNothing) {
    ScopedHandle none(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(none);
    ScopedHandle missing(CreateFileA("C:\\no\\such\\hux\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing);
    WIN32_FIND_DATAA found{};
    ScopedFindHandle search(FindFirstFileA("C:\\no\\such\\hux\\dir\\*", &found));
    EXPECT_FALSE(search);
}

TEST(ScopedHandle, ReceivesFromOutParameters) {
    ScopedHandle process;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), process.receive(), 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE first = process.get();
    EXPECT_TRUE(isOpen(first));
    // Receiving again closes what was held before.
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), process.receive(), 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FALSE(isOpen(first) && first != process.get());

    ScopedRegistryKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, key.receive()), ERROR_SUCCESS);
    EXPECT_TRUE(key);
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
}

}  // namespace
}  // namespace hux
