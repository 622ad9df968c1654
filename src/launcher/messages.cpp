#include "launcher/messages.h"

#include <cstdio>

namespace hux {

namespace {
struct BuiltinText {
    int number;
    const char* text;
};
constexpr BuiltinText kBuiltinTexts[] = {
    {1, "Java Runtime Environment not found."},
    {2, "Java Runtime Environment not valid."},
    {3, "Java Virtual Machine initialize failed."},
    {4, "Java Virtual Machine starts failed."},
    {5, "Can not get the virtual machine version."},
    {6, "Java virtual machine version %s is too low, require %s or higher."},
    {7, "The main startup class could not be found."},
    {8, "The main startup class is not valid, main method missing."},
    {10, "Error"},
    {12, "Java virtual machine version %s is too high, version between %s and %s is required."},
    {13, "There is already an instance of this program running."},
};
}  // namespace

ByteString messageText(int number) {
    for (const auto& t : kBuiltinTexts)
        if (t.number == number) return ByteString(t.text);
    return {};
}

void printMessageLine(const ByteString& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace hux
