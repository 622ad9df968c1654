// What the packer reads from the jars it packs without taking them into
// memory: the jar is mapped, and only the entries asked for are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_reader.h"

namespace hux::tool {

class Jar {
public:
    // False when the file is no readable zip archive.
    bool open(const std::string& path);
    ZipReader& reader() { return reader_; }
    int32_t count() const { return reader_.entryCount(); }
    std::string_view name(int32_t i) const {
        const ZipEntry& e = reader_.entry(i);
        return {e.name, static_cast<size_t>(e.nameLength)};
    }
    // The entry named `name` (for the manifest: then in any letter case, as
    // the runtime finds it); -1 when there is none.
    int32_t find(std::string_view name) const;
    // Reads entry `i` whole; false when it is damaged or unreadable.
    bool read(int32_t i, std::vector<uint8_t>& out);
    // The manifest's bytes; false when there is none.
    bool manifest(std::vector<uint8_t>& out);
    // The entry's data as stored (compressed or not), in the mapping; null
    // when it does not lie wholly inside the file.
    const uint8_t* rawData(int32_t i) const;
    // The first `count` bytes of entry `i` uncompressed (fewer when it is
    // shorter); false when they cannot be produced.
    bool head(int32_t i, uint8_t* out, size_t count, size_t& produced) const;

private:
    ZipReader reader_;
    const ZipSource* source_ = nullptr;
};

// What a class file says about its `main` method.
enum class MainMethod {
    Runnable,   // public static void main(String[])
    Missing,    // none, here or inherited: `super` says where to look next
    NotAClass,  // the bytes are no class file
};
// Reads the class file `data`: whether it declares the launcher's main
// method, and its superclass's internal name ("a/b/C", empty for none).
MainMethod mainMethodOf(const uint8_t* data, size_t size, std::string& super);

// The major version of a class file's first 8 bytes; 0 when they are none.
int classMajor(const uint8_t* head, size_t size);
// The Java release a class file major version stands for (52 -> 8).
inline int javaReleaseOf(int major) { return major >= 45 ? (major <= 48 ? 1 : major - 44) : 0; }

// The first number of a `minjre` value ("1.8.0_40" -> 8, "11.0.2" -> 11,
// "17" -> 17); 0 when there is none.
int javaReleaseOfVersion(const std::string& version);

}  // namespace hux::tool
