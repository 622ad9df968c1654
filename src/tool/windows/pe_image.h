// Reading and editing the headers of a 64-bit Windows executable (PE32+):
// sections, data directories, subsystem, image size and checksum. Everything
// here works on bytes, so the packer edits Windows executables on any host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hux::tool {

struct PeSection {
    std::string name;
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
    uint32_t characteristics = 0;
};

// Data directory slots used here.
constexpr int kDirResources = 2;
constexpr int kDirSecurity = 4;
constexpr int kDirBaseRelocations = 5;

// Subsystem values of the optional header.
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;

class PeImage {
public:
    // Parses the headers of `bytes`; false with one line in `error` when they
    // are not those of a well-formed PE32+ image.
    bool parse(const std::vector<uint8_t>& bytes, std::string& error);

    const std::vector<PeSection>& sections() const { return sections_; }
    uint16_t subsystem() const;
    uint16_t machine() const;
    uint32_t checksumField() const;
    uint32_t dataDirectoryCount() const { return dataDirCount_; }
    // (rva or file offset, size) of data directory `index`; zeros when absent.
    void dataDirectory(int index, uint32_t& address, uint32_t& size) const;
    // File offset of an RVA inside a section's raw data, or -1.
    int64_t fileOffsetOf(uint32_t rva, uint32_t length) const;
    // End of the last section's raw data: where the image ends and any
    // appended data begins.
    uint32_t imageEnd() const;
    uint32_t sectionAlignment() const { return sectionAlignment_; }
    uint32_t fileAlignment() const { return fileAlignment_; }

    // Edits of the bytes passed to parse (they must still be the same buffer).
    void setSubsystem(std::vector<uint8_t>& bytes, uint16_t value) const;
    // Replaces the resource data directory's content by `section` (built for
    // the RVA `rva`, see resourceSectionAddress), so that the image has one
    // resource section, its last: rewritten in place when it is last already;
    // when only the base relocations follow it, they move into its place and
    // the resources follow them; else in a new section after the last one.
    // Drops any bytes after the image. Re-parses on success.
    bool placeResources(std::vector<uint8_t>& bytes, uint32_t rva, const std::vector<uint8_t>& section,
                        std::string& error);
    // The RVA at which placeResources will put the resource section.
    uint32_t resourceSectionAddress() const;

private:
    int lastSectionIndex() const;
    // Index of the resource section when the base relocations alone follow
    // it (they can move in front of it), else -1.
    int movableRelocationsAfterResources() const;
    // Moves the base relocations (section `lastIndex`) into the place of the
    // resource section `movable` before them, in the bytes and the headers.
    void moveRelocations(std::vector<uint8_t>& bytes, int movable, int lastIndex) const;
    // Whether a section other than `replaced` and `moved` claims addresses
    // of [rva, rva + size).
    bool overlapsOtherSections(uint32_t rva, size_t size, int replaced, int moved) const;
    // Points the resource directory at the new section of `size` bytes
    // (`rawSize` in the file) and updates the image's size, its initialised
    // data and the dropped signature.
    void updateOptionalHeader(std::vector<uint8_t>& bytes, uint32_t rva, uint32_t size, uint32_t rawSize,
                              int replaced) const;
    size_t optionalHeader_ = 0;
    size_t sectionTable_ = 0;
    uint16_t sectionCount_ = 0;
    uint32_t sizeOfHeaders_ = 0;
    uint32_t sectionAlignment_ = 0;
    uint32_t fileAlignment_ = 0;
    uint32_t dataDirCount_ = 0;
    size_t dataDirs_ = 0;
    uint16_t subsystem_ = 0;
    uint16_t machine_ = 0;
    uint32_t checksum_ = 0;
    std::vector<PeSection> sections_;
    std::vector<uint32_t> dirAddress_, dirSize_;
};

// The PE checksum of `bytes` as the loader's checksum routine computes it
// (16-bit one's complement sum with the checksum field itself skipped, plus
// the file length); `checksumOffset` is where the field sits.
uint32_t peChecksum(const std::vector<uint8_t>& bytes, size_t checksumOffset);
// Offset of the checksum field in a parsed image's bytes.
size_t checksumFieldOffset(const std::vector<uint8_t>& bytes);

}  // namespace hux::tool
