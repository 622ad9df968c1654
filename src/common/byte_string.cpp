#include "common/byte_string.h"

#include <cstdio>
#include <cstdlib>

namespace hux {

namespace {
char emptyBuffer[1] = {'\0'};  // backing of moved-from strings (capacity 0)
}

[[noreturn]] void fatalOutOfMemory() {
    std::fputs("hux: out of memory\n", stderr);
    std::abort();
}

int32_t growCapacity(int32_t capacity, int32_t need, int64_t fallback) {
    if (need < 0 || need > INT32_MAX - 16) fatalOutOfMemory();
    int64_t cap = capacity < 8 ? 8 : capacity;
    if (cap < need) cap *= 2;
    if (cap < need) cap = fallback & ~static_cast<int64_t>(7);
    if (cap > INT32_MAX) fatalOutOfMemory();
    return static_cast<int32_t>(cap);
}

void* growArrayRealloc(void* p, size_t bytes) {
    void* q = std::realloc(p, bytes == 0 ? 1 : bytes);
    if (!q) fatalOutOfMemory();
    return q;
}

void growArrayFree(void* p) { std::free(p); }

// ---- ByteString ----

ByteString::ByteString() : length_(0), capacity_(8) {
    data_ = static_cast<char*>(std::malloc(8));
    if (!data_) fatalOutOfMemory();
    data_[0] = '\0';
}

ByteString::ByteString(const char* text) : ByteString() {
    if (text) append(text);
}

ByteString::ByteString(const char* bytes, int32_t length) : ByteString() { append(bytes, length); }

ByteString::ByteString(std::string_view text) : ByteString() { append(text); }

ByteString::ByteString(const ByteString& other) : ByteString() { append(other.data_, other.length_); }

ByteString::ByteString(ByteString&& other) noexcept
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_) {
    other.data_ = emptyBuffer;
    other.length_ = 0;
    other.capacity_ = 0;
}

ByteString& ByteString::operator=(const ByteString& other) {
    if (this != &other) assign(other.data_, other.length_);
    return *this;
}

ByteString& ByteString::operator=(ByteString&& other) noexcept {
    if (this != &other) {
        if (capacity_ != 0) std::free(data_);
        data_ = other.data_;
        length_ = other.length_;
        capacity_ = other.capacity_;
        other.data_ = emptyBuffer;
        other.length_ = 0;
        other.capacity_ = 0;
    }
    return *this;
}

ByteString::~ByteString() {
    if (capacity_ != 0) std::free(data_);
}

void ByteString::resize(int32_t n) {
    if (n < 0 || n == INT32_MAX) fatalOutOfMemory();
    if (n + 1 > capacity_) {
        int32_t cap = growCapacity(capacity_, n + 1, static_cast<int64_t>(n) + 12);
        char* p;
        if (capacity_ == 0) {
            p = static_cast<char*>(std::malloc(static_cast<size_t>(cap)));
            if (p) p[0] = '\0';
        } else {
            p = static_cast<char*>(std::realloc(data_, static_cast<size_t>(cap)));
        }
        if (!p) fatalOutOfMemory();
        data_ = p;
        capacity_ = cap;
    }
    data_[n] = '\0';
    length_ = n;
}

void ByteString::append(const char* bytes, int32_t length) {
    if (length <= 0) return;
    if (length > INT32_MAX - 1 - length_) fatalOutOfMemory();
    int32_t at = length_;
    // `bytes` may point into this string; remember its offset across the realloc.
    const bool inside = bytes >= data_ && bytes < data_ + capacity_;
    const ptrdiff_t offset = inside ? bytes - data_ : 0;
    resize(at + length);
    std::memmove(data_ + at, inside ? data_ + offset : bytes, static_cast<size_t>(length));
}

void ByteString::erasePrefix(int32_t count) {
    if (count <= 0) return;
    if (count >= length_) {
        resize(0);
        return;
    }
    std::memmove(data_, data_ + count, static_cast<size_t>(length_ - count));
    resize(length_ - count);
}

// ---- ByteBuffer ----

ByteBuffer::ByteBuffer() : length_(0), capacity_(8) {
    data_ = static_cast<uint8_t*>(std::malloc(8));
    if (!data_) fatalOutOfMemory();
}

ByteBuffer::ByteBuffer(const ByteBuffer& other) : ByteBuffer() { append(other.data_, other.length_); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) {
    if (this != &other) {
        length_ = 0;
        append(other.data_, other.length_);
    }
    return *this;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = other.data_;
        length_ = other.length_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.length_ = 0;
        other.capacity_ = 0;
    }
    return *this;
}

ByteBuffer::~ByteBuffer() { std::free(data_); }

void ByteBuffer::resize(int32_t n) {
    if (n < 0) fatalOutOfMemory();
    if (n > capacity_) {
        int32_t cap = growCapacity(capacity_, n, static_cast<int64_t>(n) + 11);
        auto* p = static_cast<uint8_t*>(std::realloc(data_, static_cast<size_t>(cap)));
        if (!p) fatalOutOfMemory();
        data_ = p;
        capacity_ = cap;
    }
    length_ = n;
}

void ByteBuffer::append(const void* bytes, int32_t length) {
    if (length <= 0) return;
    if (length > INT32_MAX - length_) fatalOutOfMemory();
    int32_t at = length_;
    const auto* src = static_cast<const uint8_t*>(bytes);
    const bool inside = data_ && src >= data_ && src < data_ + capacity_;
    const ptrdiff_t offset = inside ? src - data_ : 0;
    resize(at + length);
    std::memmove(data_ + at, inside ? data_ + offset : src, static_cast<size_t>(length));
}

uint8_t* ByteBuffer::release() {
    uint8_t* p = data_;
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return p;
}

// ---- StringList ----

void StringList::append(const char* bytes, int32_t length) {
    offsets_.push(bytes_.length());
    bytes_.append(bytes, length);
    const char nul = '\0';
    bytes_.append(&nul, 1);
}

}  // namespace hux
