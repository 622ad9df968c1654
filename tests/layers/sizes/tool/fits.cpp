// Accepted: an 80-line function whose braces hide in literals, comments and
// a lambda, and a class whose constructor's initialisers hold braces.
#include <string>

namespace fixture {

constexpr int kTable[] = {1, 2, 3};

int eightyLines() {
    int total = 0;
    const char* text = "{{{";  // {
    const char brace = '{';
    const std::string raw = R"({ "a": { } )";
    auto add = [&](int v) { total += v; };
    total += 0;
    total += 1;
    total += 2;
    total += 3;
    total += 4;
    total += 5;
    total += 6;
    total += 7;
    total += 8;
    total += 9;
    total += 10;
    total += 11;
    total += 12;
    total += 13;
    total += 14;
    total += 15;
    total += 16;
    total += 17;
    total += 18;
    total += 19;
    total += 20;
    total += 21;
    total += 22;
    total += 23;
    total += 24;
    total += 25;
    total += 26;
    total += 27;
    total += 28;
    total += 29;
    total += 30;
    total += 31;
    total += 32;
    total += 33;
    total += 34;
    total += 35;
    total += 36;
    total += 37;
    total += 38;
    total += 39;
    total += 40;
    total += 41;
    total += 42;
    total += 43;
    total += 44;
    total += 45;
    total += 46;
    total += 47;
    total += 48;
    total += 49;
    total += 50;
    total += 51;
    total += 52;
    total += 53;
    total += 54;
    total += 55;
    total += 56;
    total += 57;
    total += 58;
    total += 59;
    total += 60;
    total += 61;
    total += 62;
    total += 63;
    total += 64;
    total += 65;
    total += 66;
    total += 67;
    total += 68;
    total += 69;
    total += 70;
    total += 71;
    return total + text[0] + brace + static_cast<int>(raw.size()) + kTable[0];
}

class Widget {
public:
    Widget() : a_{1}, b_(2) {}
    int sum() const { return a_ + b_; }

private:
    int a_, b_;
};

}  // namespace fixture
