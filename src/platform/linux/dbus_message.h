// Building and reading D-Bus messages through the library's iterators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/dbus_library.h"

namespace hux::platform::dbus {

// Appends to a message, or to a container of a parent writer; the container
// is closed when the writer goes out of scope.
class Writer {
public:
    Writer(const Library& d, DBusMessage* m) : d_(d) { d_.message_iter_init_append(m, &it_); }
    Writer(Writer& parent, int type, const char* signature) : d_(parent.d_), parent_(&parent) {
        d_.message_iter_open_container(&parent.it_, type, signature, &it_);
    }
    ~Writer() {
        if (parent_) d_.message_iter_close_container(&parent_->it_, &it_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void string(const char* s) { d_.message_iter_append_basic(&it_, kTypeString, &s); }
    void string(const std::string& s) { string(s.c_str()); }
    void path(const std::string& s) {
        const char* p = s.c_str();
        d_.message_iter_append_basic(&it_, kTypeObjectPath, &p);
    }
    void int32(int32_t v) { d_.message_iter_append_basic(&it_, kTypeInt32, &v); }
    void uint32(uint32_t v) { d_.message_iter_append_basic(&it_, kTypeUint32, &v); }
    void boolean(bool v) {
        const dbus_bool_t b = v ? 1 : 0;
        d_.message_iter_append_basic(&it_, kTypeBoolean, &b);
    }
    void bytes(const std::vector<uint8_t>& v) {
        const uint8_t* p = v.data();
        d_.message_iter_append_fixed_array(&it_, kTypeByte, &p, static_cast<int>(v.size()));
    }
    const Library& lib() const { return d_; }

private:
    const Library& d_;
    Writer* parent_ = nullptr;
    DBusMessageIter it_{};
};

class Reader {
public:
    Reader(const Library& d, DBusMessage* m) : d_(d) { valid_ = d_.message_iter_init(m, &it_) != 0; }
    Reader(const Library& d, DBusMessageIter& parent) : d_(d) {
        d_.message_iter_recurse(&parent, &it_);
        valid_ = true;
    }
    int type() { return valid_ ? d_.message_iter_get_arg_type(&it_) : kTypeInvalid; }
    bool string(std::string& out) {
        if (type() != kTypeString && type() != kTypeObjectPath) return false;
        const char* s = nullptr;
        d_.message_iter_get_basic(&it_, &s);
        out = s ? s : "";
        d_.message_iter_next(&it_);
        return true;
    }
    bool int32(int32_t& out) {
        if (type() != kTypeInt32) return false;
        d_.message_iter_get_basic(&it_, &out);
        d_.message_iter_next(&it_);
        return true;
    }
    // Enters the container at the current position and moves past it.
    bool enter(int containerType, Reader& inner) {
        if (type() != containerType) return false;
        inner = Reader(d_, it_);
        d_.message_iter_next(&it_);
        return true;
    }
    void skip() { d_.message_iter_next(&it_); }
    Reader& operator=(const Reader& other) {
        it_ = other.it_;
        valid_ = other.valid_;
        return *this;
    }
    Reader(const Reader& other) = default;

private:
    const Library& d_;
    DBusMessageIter it_{};
    bool valid_ = false;
};

inline void variantString(Writer& w, const char* value) {
    Writer v(w, kTypeVariant, "s");
    v.string(value);
}

inline std::vector<std::string> readStrings(Reader& r) {
    std::vector<std::string> out;
    Reader a(r);
    if (!r.enter(kTypeArray, a)) return out;
    std::string s;
    while (a.string(s)) out.push_back(s);
    return out;
}

inline std::vector<int32_t> readInts(Reader& r) {
    std::vector<int32_t> out;
    Reader a(r);
    if (!r.enter(kTypeArray, a)) return out;
    int32_t v;
    while (a.int32(v)) out.push_back(v);
    return out;
}

}  // namespace hux::platform::dbus
