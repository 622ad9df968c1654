// A signed Windows executable: the certificate table after the payload is
// skipped by the configuration loader and the archive reader alike.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "archive/archive_store.h"
#include "common/payload_end.h"
#include "common/payload_format.h"
#include "common/utf.h"
#include "config/launch_config.h"
#include "support/packed_config.h"
#include "support/test_support.h"
#include "support/zip_builder.h"

namespace hux {
namespace {

constexpr uint32_t kPe = 0x40;

// A PE32+ (or PE32) header with `directories` data directories, followed by
// `body` and `table`; the security directory names the table at the end of the file
// when `table` is not empty.
std::string peFile(const std::string& body, const std::string& table, bool pe32 = false, uint32_t directories = 16) {
    const uint32_t optional = kPe + 24;
    const uint32_t dirs = optional + (pe32 ? 96 : 112);
    std::string bytes(dirs + 8 * 16, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    auto* p = reinterpret_cast<uint8_t*>(&bytes[0]);
    writeLe32(p + 0x3C, kPe);
    std::memcpy(p + kPe, "PE\0\0", 4);
    writeLe16(p + optional, pe32 ? 0x10B : 0x20B);
    writeLe32(p + dirs - 4, directories);
    bytes += body;
    if (!table.empty()) {
        p = reinterpret_cast<uint8_t*>(&bytes[0]);
        writeLe32(p + dirs + 8 * 4, static_cast<uint32_t>(bytes.size()));
        writeLe32(p + dirs + 8 * 4 + 4, static_cast<uint32_t>(table.size()));
        bytes += table;
    }
    return bytes;
}

int64_t endOf(const std::string& bytes) {
    return payloadEnd(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
}

// A certificate table whose bytes hold an end-of-archive signature, as DER
// data may: a reader that searched from the end of the file would stop there.
std::string certificateTable() {
    std::string table(1200, '\x30');
    table.replace(600, 4, "PK\x05\x06");
    return table;
}

TEST(PayloadEnd, IsWhereTheCertificateTableBeginsOnlyWhenItEndsTheFile) {
    const std::string body(500, 'x');
    const std::string table = certificateTable();
    const std::string signedFile = peFile(body, table);
    EXPECT_EQ(endOf(signedFile), static_cast<int64_t>(signedFile.size() - table.size()));
    EXPECT_EQ(endOf(peFile(body, table, true)), static_cast<int64_t>(signedFile.size() - table.size()) - 16);

    // Bytes appended after the table: the recorded table no longer ends the file.
    const std::string appended = signedFile + "more";
    EXPECT_EQ(endOf(appended), static_cast<int64_t>(appended.size()));
    // No table, too few directories, not a PE image, cut-off headers.
    const std::string unsignedFile = peFile(body, "");
    EXPECT_EQ(endOf(unsignedFile), static_cast<int64_t>(unsignedFile.size()));
    const std::string fewDirectories = peFile(body, table, false, 4);
    EXPECT_EQ(endOf(fewDirectories), static_cast<int64_t>(fewDirectories.size()));
    const std::string elf =
        "\x7F"
        "ELF" +
        body;
    EXPECT_EQ(endOf(elf), static_cast<int64_t>(elf.size()));
    for (size_t cut : {size_t{2}, size_t{63}, size_t{kPe + 10}, size_t{kPe + 200}}) {
        const std::string head = signedFile.substr(0, cut);
        EXPECT_EQ(endOf(head), static_cast<int64_t>(head.size())) << cut;
    }
    EXPECT_EQ(payloadEnd(nullptr, 0), 0);
}

TEST(PayloadEnd, SignedExecutableKeepsItsConfigurationAndArchive) {
    test::TempDir dir;
    const std::string archive = test::buildZip({{"app/Main.class", std::string(300, 'c')}}, "0123456789");
    std::string payload = "\xEF\xBB\xBFmainclass app.Main\r\n" + std::string(1, '\0');
    const auto blockLength = static_cast<uint32_t>(payload.size());
    uint8_t length[4];
    writeLe32(length, blockLength);
    payload.append(reinterpret_cast<const char*>(length), 4);
    payload.append(static_cast<size_t>(kReservedSize), '\0');
    payload += archive;
    payload.append(5, '\0');  // padding a signing tool adds before the table
    const std::string bytes = peFile(payload, certificateTable());
    const std::filesystem::path exe = dir.path() / "signed.exe";
    std::ofstream(exe, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    const uint32_t a = static_cast<uint32_t>(archive.size() - 10);  // through the end record
    LaunchConfig config(false);
    config.loadFrom(ByteString(exe.string()), a);
    EXPECT_EQ(config.firstValue("mainclass", true, false).view(), "app.Main");

    ArchiveStore store(0);
    store.openFromFile(exe.string().c_str());
    ASSERT_EQ(store.entryCount(), 1);
    EXPECT_GE(store.findEntry("app/Main.class", 14), 0);
}

}  // namespace
}  // namespace hux
