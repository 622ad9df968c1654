// Owned byte strings and growable arrays with the launcher's growth rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace hux {

// Capacity growth shared by every growable container: at least 8, doubled once
// when still short of `need`, then `fallback` with its low three bits cleared.
// Strings pass need = n + 1 and fallback = n + 12; raw buffers and element
// arrays pass need = n and fallback = n + 11.
int32_t growCapacity(int32_t capacity, int32_t need, int64_t fallback);

// Aborts the process with one line on standard error; used when memory runs out
// or a length would leave the 32-bit range, where no sound recovery exists.
[[noreturn]] void fatalOutOfMemory();

// NUL-terminated owned bytes (ANSI or UTF-8, as the holder says). The data
// pointer is never null; shrinking never releases memory.
class ByteString {
public:
    ByteString();
    ByteString(const char* text);  // NOLINT(google-explicit-constructor)
    ByteString(const char* bytes, int32_t length);
    explicit ByteString(std::string_view text);
    ByteString(const ByteString& other);
    ByteString(ByteString&& other) noexcept;
    ByteString& operator=(const ByteString& other);
    ByteString& operator=(ByteString&& other) noexcept;
    ~ByteString();

    void resize(int32_t length);
    void clear() { resize(0); }
    void append(const char* bytes, int32_t length);
    void append(const char* text) { append(text, static_cast<int32_t>(std::strlen(text))); }
    void append(std::string_view text) { append(text.data(), static_cast<int32_t>(text.size())); }
    void append(const ByteString& other) { append(other.data_, other.length_); }
    void push(char c) { append(&c, 1); }
    void assign(const char* bytes, int32_t length) {
        resize(0);
        append(bytes, length);
    }
    void assign(std::string_view text) { assign(text.data(), static_cast<int32_t>(text.size())); }
    // Removes the first `count` bytes.
    void erasePrefix(int32_t count);

    const char* c_str() const { return data_; }
    char* data() { return data_; }
    const char* data() const { return data_; }
    int32_t length() const { return length_; }
    int32_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    char operator[](int32_t i) const { return data_[i]; }
    char& operator[](int32_t i) { return data_[i]; }
    char back() const { return length_ > 0 ? data_[length_ - 1] : '\0'; }
    std::string_view view() const { return {data_, static_cast<size_t>(length_)}; }
    operator std::string_view() const { return view(); }  // NOLINT(google-explicit-constructor)

    bool operator==(const ByteString& o) const { return view() == o.view(); }
    bool operator!=(const ByteString& o) const { return view() != o.view(); }
    bool operator==(std::string_view o) const { return view() == o; }
    bool operator!=(std::string_view o) const { return view() != o; }
    bool operator==(const char* o) const { return view() == std::string_view(o); }
    bool operator!=(const char* o) const { return view() != std::string_view(o); }

private:
    char* data_;
    int32_t length_;
    int32_t capacity_;  // 0 marks the shared empty buffer of a moved-from string
};

// Raw owned bytes without a terminating NUL.
class ByteBuffer {
public:
    ByteBuffer();
    ByteBuffer(const ByteBuffer& other);
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(const ByteBuffer& other);
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    void resize(int32_t length);
    void append(const void* bytes, int32_t length);
    void clear() { length_ = 0; }
    // Gives up ownership of the bytes; the buffer is empty afterwards.
    uint8_t* release();

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    int32_t length() const { return length_; }
    int32_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }

private:
    uint8_t* data_;
    int32_t length_;
    int32_t capacity_;
};

// Growable array of trivially copyable elements; the capacity counts elements
// and grows by the raw-buffer rule.
template <typename T>
class GrowArray {
public:
    GrowArray() = default;
    GrowArray(const GrowArray&) = delete;
    GrowArray& operator=(const GrowArray&) = delete;
    GrowArray(GrowArray&& o) noexcept : data_(o.data_), length_(o.length_), capacity_(o.capacity_) {
        o.data_ = nullptr;
        o.length_ = o.capacity_ = 0;
    }
    GrowArray& operator=(GrowArray&& o) noexcept {
        if (this != &o) {
            freeData();
            data_ = o.data_;
            length_ = o.length_;
            capacity_ = o.capacity_;
            o.data_ = nullptr;
            o.length_ = o.capacity_ = 0;
        }
        return *this;
    }
    ~GrowArray() { freeData(); }

    void resize(int32_t n) {
        if (n > capacity_) {
            int32_t cap = growCapacity(capacity_, n, static_cast<int64_t>(n) + 11);
            if (static_cast<size_t>(cap) > SIZE_MAX / sizeof(T)) fatalOutOfMemory();
            void* p = reallocate(data_, static_cast<size_t>(cap) * sizeof(T));
            data_ = static_cast<T*>(p);
            capacity_ = cap;
        }
        length_ = n;
    }
    void push(const T& value) {
        if (length_ == INT32_MAX) fatalOutOfMemory();
        int32_t at = length_;
        resize(length_ + 1);
        data_[at] = value;
    }
    void removeAt(int32_t i) {
        std::memmove(data_ + i, data_ + i + 1, static_cast<size_t>(length_ - i - 1) * sizeof(T));
        --length_;
    }
    void clear() { length_ = 0; }
    T& operator[](int32_t i) { return data_[i]; }
    const T& operator[](int32_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    int32_t size() const { return length_; }
    int32_t capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    T* begin() { return data_; }
    T* end() { return data_ + length_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + length_; }

private:
    static void* reallocate(void* p, size_t bytes);
    void freeData();
    T* data_ = nullptr;
    int32_t length_ = 0;
    int32_t capacity_ = 0;
};

void* growArrayRealloc(void* p, size_t bytes);
void growArrayFree(void* p);

template <typename T>
void* GrowArray<T>::reallocate(void* p, size_t bytes) {
    return growArrayRealloc(p, bytes);
}
template <typename T>
void GrowArray<T>::freeData() {
    growArrayFree(data_);
    data_ = nullptr;
}

// NUL-terminated strings packed into one buffer, with their start offsets.
class StringList {
public:
    void append(const char* bytes, int32_t length);
    void append(std::string_view text) { append(text.data(), static_cast<int32_t>(text.size())); }
    void append(const char* text) { append(std::string_view(text)); }
    void append(const ByteString& s) { append(s.data(), s.length()); }
    int32_t count() const { return offsets_.size(); }
    const char* at(int32_t i) const { return reinterpret_cast<const char*>(bytes_.data()) + offsets_[i]; }
    std::string_view view(int32_t i) const { return at(i); }
    const ByteBuffer& bytes() const { return bytes_; }
    void clear() {
        bytes_.clear();
        offsets_.clear();
    }

private:
    ByteBuffer bytes_;
    GrowArray<int32_t> offsets_;
};

}  // namespace hux
