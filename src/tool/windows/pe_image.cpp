#include "tool/windows/pe_image.h"

#include <algorithm>
#include <cstring>

#include "common/utf.h"

namespace hux::tool {

namespace {

constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kSectionHeaderSize = 40;
// Offsets inside the PE32+ optional header.
constexpr size_t kOptInitializedData = 8;
constexpr size_t kOptSectionAlignment = 32;
constexpr size_t kOptFileAlignment = 36;
constexpr size_t kOptSizeOfImage = 56;
constexpr size_t kOptSizeOfHeaders = 60;
constexpr size_t kOptChecksum = 64;
constexpr size_t kOptSubsystem = 68;
constexpr size_t kOptDirCount = 108;
constexpr size_t kOptDirs = 112;
constexpr uint32_t kInitializedData = 0x00000040;
constexpr uint32_t kMemRead = 0x40000000;

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool PeImage::parse(const std::vector<uint8_t>& bytes, std::string& error) {
    sections_.clear();
    dirAddress_.clear();
    dirSize_.clear();
    const size_t size = bytes.size();
    if (size < 64 || bytes[0] != 'M' || bytes[1] != 'Z') {
        error = "not a Windows executable (no MZ header)";
        return false;
    }
    const uint32_t pe = readLe32(bytes.data() + 0x3C);
    if (pe > size || size - pe < 24 || std::memcmp(bytes.data() + pe, "PE\0\0", 4) != 0) {
        error = "not a Windows executable (no PE header)";
        return false;
    }
    machine_ = readLe16(bytes.data() + pe + 4);
    sectionCount_ = readLe16(bytes.data() + pe + 6);
    const uint16_t optSize = readLe16(bytes.data() + pe + 20);
    optionalHeader_ = pe + 24;
    if (optSize < kOptDirs || size - optionalHeader_ < optSize ||
        readLe16(bytes.data() + optionalHeader_) != kPe32PlusMagic) {
        error = "not a 64-bit Windows executable (no PE32+ optional header)";
        return false;
    }
    const uint8_t* opt = bytes.data() + optionalHeader_;
    sectionAlignment_ = readLe32(opt + kOptSectionAlignment);
    fileAlignment_ = readLe32(opt + kOptFileAlignment);
    sizeOfHeaders_ = readLe32(opt + kOptSizeOfHeaders);
    checksum_ = readLe32(opt + kOptChecksum);
    subsystem_ = readLe16(opt + kOptSubsystem);
    dataDirCount_ = readLe32(opt + kOptDirCount);
    if (!isPowerOfTwo(sectionAlignment_) || !isPowerOfTwo(fileAlignment_) || fileAlignment_ > sectionAlignment_ ||
        fileAlignment_ > 0x10000 || sectionAlignment_ > 0x1000000) {
        error = "damaged PE header (alignment)";
        return false;
    }
    if (sizeOfHeaders_ > size) {
        error = "damaged PE header (header size)";
        return false;
    }
    if (dataDirCount_ > (optSize - kOptDirs) / 8) {
        error = "damaged PE header (data directory count)";
        return false;
    }
    dataDirs_ = optionalHeader_ + kOptDirs;
    for (uint32_t i = 0; i < dataDirCount_; ++i) {
        dirAddress_.push_back(readLe32(bytes.data() + dataDirs_ + 8 * i));
        dirSize_.push_back(readLe32(bytes.data() + dataDirs_ + 8 * i + 4));
    }
    sectionTable_ = optionalHeader_ + optSize;
    if (sectionCount_ == 0 || (size - sectionTable_) / kSectionHeaderSize < sectionCount_) {
        error = "damaged PE header (section table)";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* h = bytes.data() + sectionTable_ + kSectionHeaderSize * i;
        PeSection s;
        s.name.assign(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 8));
        s.virtualSize = readLe32(h + 8);
        s.virtualAddress = readLe32(h + 12);
        s.rawSize = readLe32(h + 16);
        s.rawOffset = readLe32(h + 20);
        s.characteristics = readLe32(h + 36);
        if (s.rawSize != 0 && (s.rawOffset > size || size - s.rawOffset < s.rawSize)) {
            error = "damaged PE header (section '" + s.name + "' lies outside the file)";
            return false;
        }
        sections_.push_back(s);
    }
    return true;
}

uint16_t PeImage::subsystem() const { return subsystem_; }
uint16_t PeImage::machine() const { return machine_; }
uint32_t PeImage::checksumField() const { return checksum_; }

void PeImage::dataDirectory(int index, uint32_t& address, uint32_t& size) const {
    address = size = 0;
    if (index < 0 || static_cast<uint32_t>(index) >= dataDirCount_) return;
    address = dirAddress_[static_cast<size_t>(index)];
    size = dirSize_[static_cast<size_t>(index)];
}

int64_t PeImage::fileOffsetOf(uint32_t rva, uint32_t length) const {
    for (const PeSection& s : sections_) {
        if (rva < s.virtualAddress) continue;
        const uint64_t within = rva - s.virtualAddress;
        if (within + length <= s.rawSize) return static_cast<int64_t>(s.rawOffset + within);
    }
    return -1;
}

uint32_t PeImage::imageEnd() const {
    uint32_t end = sizeOfHeaders_;
    for (const PeSection& s : sections_)
        if (s.rawSize != 0) end = std::max(end, s.rawOffset + s.rawSize);
    return end;
}

int PeImage::lastSectionIndex() const {
    int last = 0;
    for (size_t i = 1; i < sections_.size(); ++i)
        if (sections_[i].virtualAddress > sections_[static_cast<size_t>(last)].virtualAddress)
            last = static_cast<int>(i);
    return last;
}

void PeImage::setSubsystem(std::vector<uint8_t>& bytes, uint16_t value) const {
    writeLe16(bytes.data() + optionalHeader_ + kOptSubsystem, value);
}

int PeImage::movableRelocationsAfterResources() const {
    // The section the resource directory starts, then exactly one section:
    // the base relocations and nothing else. Their blocks name the pages
    // of other sections, never their own address, so they can move.
    uint32_t rsrc = 0, rsrcSize = 0, reloc = 0, relocSize = 0;
    dataDirectory(kDirResources, rsrc, rsrcSize);
    dataDirectory(kDirBaseRelocations, reloc, relocSize);
    const size_t n = sections_.size();
    if (rsrc == 0 || reloc == 0 || n < 2) return -1;
    const PeSection& r = sections_[n - 2];
    const PeSection& m = sections_[n - 1];
    if (r.virtualAddress != rsrc || m.virtualAddress != reloc || lastSectionIndex() != static_cast<int>(n - 1))
        return -1;
    if (m.rawSize == 0 || r.rawSize == 0 || r.rawOffset + r.rawSize > m.rawOffset) return -1;
    if (uint64_t{reloc} + relocSize > uint64_t{m.virtualAddress} + std::max(m.virtualSize, m.rawSize)) return -1;
    for (uint32_t i = 0; i < dataDirCount_; ++i) {
        if (i == kDirBaseRelocations || i == kDirSecurity || dirAddress_[i] == 0) continue;
        if (dirAddress_[i] >= m.virtualAddress &&
            dirAddress_[i] < uint64_t{m.virtualAddress} + std::max(m.virtualSize, m.rawSize))
            return -1;
    }
    return static_cast<int>(n - 2);
}

uint32_t PeImage::resourceSectionAddress() const {
    const PeSection& last = sections_[static_cast<size_t>(lastSectionIndex())];
    uint32_t rva = 0, size = 0;
    dataDirectory(kDirResources, rva, size);
    // The resource section is last and holds nothing else: it is rewritten.
    if (rva != 0 && rva == last.virtualAddress) return last.virtualAddress;
    // The resource section is followed by the relocations only: they take
    // its place and the resources follow them, last.
    const int movable = movableRelocationsAfterResources();
    if (movable >= 0) {
        const PeSection& r = sections_[static_cast<size_t>(movable)];
        return alignUp(r.virtualAddress + std::max(last.virtualSize, last.rawSize), sectionAlignment_);
    }
    return alignUp(last.virtualAddress + std::max(last.virtualSize, last.rawSize), sectionAlignment_);
}

void PeImage::moveRelocations(std::vector<uint8_t>& bytes, int movable, int lastIndex) const {
    const PeSection& r = sections_[static_cast<size_t>(movable)];
    const PeSection& m = sections_[static_cast<size_t>(lastIndex)];
    // The relocations' bytes and header move into the resources' slot.
    const std::vector<uint8_t> relocations(bytes.begin() + m.rawOffset, bytes.begin() + m.rawOffset + m.rawSize);
    std::vector<uint8_t> relocHeader(
        bytes.begin() + static_cast<std::ptrdiff_t>(sectionTable_ + kSectionHeaderSize * lastIndex),
        bytes.begin() + static_cast<std::ptrdiff_t>(sectionTable_ + kSectionHeaderSize * (lastIndex + 1)));
    writeLe32(relocHeader.data() + 12, r.virtualAddress);
    writeLe32(relocHeader.data() + 20, r.rawOffset);
    const uint32_t relocRva = dirAddress_[kDirBaseRelocations] - m.virtualAddress + r.virtualAddress;
    bytes.resize(r.rawOffset);
    bytes.insert(bytes.end(), relocations.begin(), relocations.end());
    std::memcpy(bytes.data() + sectionTable_ + kSectionHeaderSize * static_cast<size_t>(movable), relocHeader.data(),
                kSectionHeaderSize);
    writeLe32(bytes.data() + dataDirs_ + 8 * kDirBaseRelocations, relocRva);
}

bool PeImage::overlapsOtherSections(uint32_t rva, size_t size, int replaced, int moved) const {
    const uint64_t end = uint64_t{rva} + std::max<uint64_t>(size, 1);
    for (size_t i = 0; i < sections_.size(); ++i) {
        if (static_cast<int>(i) == replaced || static_cast<int>(i) == moved) continue;
        const PeSection& s = sections_[i];
        const uint64_t sEnd = uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.rawSize);
        if (s.virtualAddress < end && rva < sEnd) return true;
    }
    return false;
}

void PeImage::updateOptionalHeader(std::vector<uint8_t>& bytes, uint32_t rva, uint32_t size, uint32_t rawSize,
                                   int replaced) const {
    uint8_t* opt = bytes.data() + optionalHeader_;
    writeLe32(bytes.data() + dataDirs_ + 8 * kDirResources, rva);
    writeLe32(bytes.data() + dataDirs_ + 8 * kDirResources + 4, size);
    writeLe32(opt + kOptSizeOfImage, alignUp(rva + size, sectionAlignment_));
    // Initialised data: the raw sizes of the sections that hold it.
    uint32_t initialized = rawSize;
    for (size_t i = 0; i < sections_.size(); ++i)
        if ((sections_[i].characteristics & kInitializedData) && static_cast<int>(i) != replaced)
            initialized += sections_[i].rawSize;
    writeLe32(opt + kOptInitializedData, initialized);
    // A section that moved the image's end invalidates any signature.
    writeLe32(bytes.data() + dataDirs_ + 8 * kDirSecurity, 0);
    writeLe32(bytes.data() + dataDirs_ + 8 * kDirSecurity + 4, 0);
}

bool PeImage::placeResources(std::vector<uint8_t>& bytes, uint32_t rva, const std::vector<uint8_t>& section,
                             std::string& error) {
    if (dataDirCount_ <= kDirResources) {
        error = "the executable has no resource data directory";
        return false;
    }
    const int lastIndex = lastSectionIndex();
    const PeSection& last = sections_[static_cast<size_t>(lastIndex)];
    // One resource section in every case: the old one is rewritten in place
    // when it is last, or gives its place to the relocations that followed
    // it; only a stub with neither gets a new section after its last.
    uint32_t oldRva = 0, oldSize = 0;
    dataDirectory(kDirResources, oldRva, oldSize);
    const bool inPlace = rva == last.virtualAddress && oldRva == last.virtualAddress;
    const int movable = inPlace ? -1 : movableRelocationsAfterResources();
    // The section the old resources occupied, whose raw size leaves the
    // initialised data, and the section table slot of the new one.
    int replaced = -1;
    size_t header = 0;
    uint32_t rawOffset = 0;
    if (inPlace) {
        replaced = lastIndex;
        header = sectionTable_ + kSectionHeaderSize * static_cast<size_t>(lastIndex);
        // The old data is overwritten only where nothing follows it in the file;
        // otherwise (or when it has none) the new data goes after the image.
        const bool dataAtEnd = last.rawSize != 0 && last.rawOffset + last.rawSize >= imageEnd();
        rawOffset = dataAtEnd ? last.rawOffset : alignUp(imageEnd(), fileAlignment_);
    } else if (movable >= 0) {
        replaced = movable;
        moveRelocations(bytes, movable, lastIndex);
        header = sectionTable_ + kSectionHeaderSize * static_cast<size_t>(lastIndex);
        rawOffset = alignUp(static_cast<uint32_t>(bytes.size()), fileAlignment_);
    } else {
        header = sectionTable_ + kSectionHeaderSize * sectionCount_;
        // The new header must fit in the header area, before any section data.
        uint32_t firstData = sizeOfHeaders_;
        for (const PeSection& s : sections_)
            if (s.rawSize != 0) firstData = std::min(firstData, s.rawOffset);
        if (header + kSectionHeaderSize > firstData) {
            error = "the executable's headers leave no room for a resource section";
            return false;
        }
        rawOffset = alignUp(imageEnd(), fileAlignment_);
    }
    if (rva < std::max<uint32_t>(sizeOfHeaders_, 1)) {
        error = "the executable's sections leave the resources no address after its headers";
        return false;
    }
    // No other section may claim the addresses the resources take (the
    // loader refuses overlapping sections, and a reader would map the
    // resources' addresses into the other one).
    if (overlapsOtherSections(rva, section.size(), replaced, movable >= 0 ? lastIndex : -1)) {
        error = "the executable's sections overlap the addresses of its resources";
        return false;
    }
    const uint32_t rawSize = alignUp(static_cast<uint32_t>(section.size()), fileAlignment_);
    bytes.resize(rawOffset, 0);
    bytes.insert(bytes.end(), section.begin(), section.end());
    bytes.resize(static_cast<size_t>(rawOffset) + rawSize, 0);

    uint8_t* h = bytes.data() + header;
    std::memset(h, 0, kSectionHeaderSize);
    std::memcpy(h, ".rsrc", 5);
    writeLe32(h + 8, static_cast<uint32_t>(section.size()));
    writeLe32(h + 12, rva);
    writeLe32(h + 16, rawSize);
    writeLe32(h + 20, rawOffset);
    writeLe32(h + 36, kInitializedData | kMemRead);
    if (!inPlace && movable < 0) writeLe16(bytes.data() + optionalHeader_ - 24 + 6, sectionCount_ + 1);

    updateOptionalHeader(bytes, rva, static_cast<uint32_t>(section.size()), rawSize, replaced);
    const std::vector<uint8_t> copy = bytes;
    return parse(copy, error);
}

size_t checksumFieldOffset(const std::vector<uint8_t>& bytes) {
    return readLe32(bytes.data() + 0x3C) + 24 + kOptChecksum;
}

uint32_t peChecksum(const std::vector<uint8_t>& bytes, size_t checksumOffset) {
    uint64_t sum = 0;
    const size_t size = bytes.size();
    for (size_t i = 0; i < size; i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) continue;
        uint32_t word = bytes[i];
        if (i + 1 < size) word |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

}  // namespace hux::tool
