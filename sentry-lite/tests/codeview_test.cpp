#include "modulefinder/codeview.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sentry_lite {
namespace {

// The GUID of an image linked by Debian's mingw-w64 with --build-id, as its record holds it,
// and the debug id that sentry-cli prints for that image.
constexpr unsigned char kGuid[16] = {0xc6, 0x92, 0x89, 0x37, 0x87, 0xb6, 0x15, 0x63,
                                     0x34, 0x4e, 0xd6, 0x6a, 0x9f, 0x7c, 0x9c, 0x87};
constexpr char kGuidText[] = "378992c6-b687-6315-344e-d66a9f7c9c87";

// A mapped image as the loader lays it out, as far as the reader looks: the DOS header, the NT
// headers, one debug directory and what its entries point at.
class ImageTable {
  public:
    static constexpr uint32_t kNtAt = 0x80;
    static constexpr uint32_t kOptionalAt = kNtAt + 24;
    static constexpr uint32_t kDirectoryAt = 0x200;
    static constexpr uint32_t kRecordAt = 0x300;

    explicit ImageTable(bool pe32_plus = true) : bytes_(0x1000, 0) {
        Put16(0, 0x5A4D);
        Put32(0x3C, kNtAt);
        Put32(kNtAt, 0x00004550);
        Put16(kOptionalAt, pe32_plus ? 0x20B : 0x10B);
        const uint32_t count_at = kOptionalAt + (pe32_plus ? 108 : 92);
        directories_at_ = kOptionalAt + (pe32_plus ? 112 : 96);
        Put32(count_at, 16);
        SetDebugDirectory(kDirectoryAt, 28);
        SetEntry(0, 2, 24 + 12, kRecordAt);
        SetRecord("RSDS", 1, "C:\\b\\x.pdb");
    }

    void SetDebugDirectory(uint32_t address, uint32_t size) {
        Put32(directories_at_ + 8 * 6, address);
        Put32(directories_at_ + 8 * 6 + 4, size);
    }
    void SetEntry(uint32_t index, uint32_t type, uint32_t size, uint32_t address) {
        const uint32_t at = kDirectoryAt + 28 * index;
        Put32(at + 12, type);
        Put32(at + 16, size);
        Put32(at + 20, address);
    }
    void SetRecord(const char* signature, uint32_t age, const std::string& path,
                   uint32_t at = kRecordAt) {
        std::memcpy(&bytes_[at], signature, 4);
        std::memcpy(&bytes_[at + 4], kGuid, 16);
        Put32(at + 20, age);
        std::memcpy(&bytes_[at + 24], path.c_str(), path.size() + 1);
    }
    void Put16(uint32_t at, uint16_t value) { PutLittleEndian(at, value, 2); }
    void Put32(uint32_t at, uint32_t value) { PutLittleEndian(at, value, 4); }

    const std::vector<unsigned char>& Bytes() const { return bytes_; }
    uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }

  private:
    void PutLittleEndian(uint32_t at, uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes_[at + static_cast<uint32_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
        }
    }

    std::vector<unsigned char> bytes_;
    uint32_t directories_at_ = 0;
};

std::string DebugId(const CodeViewRecord& record) {
    char text[kDebugIdCapacity];
    return std::string(text, WriteDebugId(record, text));
}

TEST(ReadCodeView, FindsTheRecordOrNothing) {
    const struct {
        const char* name;
        void (*change)(ImageTable&);
        uint32_t image_size;  // 0: the table's
        bool found;
        std::string debug_file;
    } cases[] = {
        {"record with a path", [](ImageTable&) {}, 0, true, "C:\\b\\x.pdb"},
        {"record without a path, as mingw writes it",
         [](ImageTable& t) { t.SetRecord("RSDS", 1, ""); }, 0, true, ""},
        {"PE32 headers", [](ImageTable& t) { t = ImageTable(false); }, 0, true, "C:\\b\\x.pdb"},
        {"after another kind of entry",
         [](ImageTable& t) {
             t.SetDebugDirectory(ImageTable::kDirectoryAt, 2 * 28);
             t.SetEntry(0, 16, 0, 0);  // a reproducible-build entry, no data
             t.SetEntry(1, 2, 24 + 12, ImageTable::kRecordAt);
         },
         0, true, "C:\\b\\x.pdb"},
        {"a record not mapped is passed over",
         [](ImageTable& t) {
             t.SetDebugDirectory(ImageTable::kDirectoryAt, 2 * 28);
             t.SetEntry(0, 2, 24 + 12, 0);
             t.SetEntry(1, 2, 24 + 12, ImageTable::kRecordAt);
         },
         0, true, "C:\\b\\x.pdb"},
        {"path not ended within its record",
         [](ImageTable& t) { t.SetEntry(0, 2, 24 + 4, ImageTable::kRecordAt); }, 0, true, ""},
        {"no debug directory", [](ImageTable& t) { t.SetDebugDirectory(0, 0); }, 0, false, ""},
        {"too few directories", [](ImageTable& t) { t.Put32(ImageTable::kOptionalAt + 108, 6); }, 0,
         false, ""},
        {"no CodeView entry", [](ImageTable& t) { t.SetEntry(0, 16, 24, ImageTable::kRecordAt); },
         0, false, ""},
        {"old NB10 record", [](ImageTable& t) { t.SetRecord("NB10", 1, "x.pdb"); }, 0, false, ""},
        {"record shorter than its fixed part",
         [](ImageTable& t) { t.SetEntry(0, 2, 23, ImageTable::kRecordAt); }, 0, false, ""},
        {"not MZ", [](ImageTable& t) { t.Put16(0, 0x4D5A); }, 0, false, ""},
        {"not PE", [](ImageTable& t) { t.Put32(ImageTable::kNtAt, 0x00004551); }, 0, false, ""},
        {"unknown optional header", [](ImageTable& t) { t.Put16(ImageTable::kOptionalAt, 0x107); },
         0, false, ""},
        {"headers beyond the image", [](ImageTable& t) { t.Put32(0x3C, 0x0FF0); }, 0, false, ""},
        {"headers at the end of the address space",
         [](ImageTable& t) { t.Put32(0x3C, 0xFFFFFFF0); }, 0, false, ""},
        {"directory beyond the image", [](ImageTable& t) { t.SetDebugDirectory(0x2000, 28); }, 0,
         false, ""},
        {"directory at the end of the address space",
         [](ImageTable& t) { t.SetDebugDirectory(0xFFFFFFF0, 28); }, 0, false, ""},
        {"record beyond the image", [](ImageTable& t) { t.SetEntry(0, 2, 24 + 12, 0x1000); }, 0,
         false, ""},
        {"record running past the image",
         [](ImageTable& t) { t.SetEntry(0, 2, 0x0D10, ImageTable::kRecordAt); }, 0, false, ""},
        {"record at the end of the address space",
         [](ImageTable& t) { t.SetEntry(0, 2, 24 + 12, 0xFFFFFFF8); }, 0, false, ""},
        {"image cut within the record", [](ImageTable&) {}, ImageTable::kRecordAt + 20, false, ""},
        {"image cut before its debug directory",
         [](ImageTable& t) {
             t.SetRecord("RSDS", 1, "x.pdb", 0x100);
             t.SetEntry(0, 2, 24 + 6, 0x100);
         },
         ImageTable::kDirectoryAt, false, ""},
        {"image cut within the headers", [](ImageTable&) {}, 0x90, false, ""},
        {"image too small for a DOS header", [](ImageTable&) {}, 1, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImageTable table;
        c.change(table);
        const MemoryImageBytes bytes(table.Bytes().data(), table.Bytes().size());
        CodeViewRecord record;
        const bool found =
            ReadCodeView(bytes, c.image_size != 0 ? c.image_size : table.Size(), record);
        ASSERT_EQ(found, c.found);
        if (found) {
            EXPECT_EQ(DebugId(record), std::string(kGuidText) + "-1");
            EXPECT_EQ(std::string(record.debug_file, record.debug_file_length), c.debug_file);
        }
    }
}

// The size the loader gives may be larger than what can still be read: a page of a half
// unloaded image, or one never mapped, fails its read.
TEST(ReadCodeView, AReadThatFailsEndsTheSearch) {
    class ReadableUpTo : public ImageBytes {
      public:
        ReadableUpTo(const ImageTable& table, uint32_t end) : table_(table), end_(end) {}
        bool Read(uint32_t offset, void* out, size_t size) const override {
            return offset + size <= end_ &&
                   MemoryImageBytes(table_.Bytes().data(), table_.Size()).Read(offset, out, size);
        }

      private:
        const ImageTable& table_;
        uint32_t end_;
    };
    const ImageTable table;
    CodeViewRecord record;
    for (const uint32_t end : {0u, 0x40u, ImageTable::kDirectoryAt, ImageTable::kRecordAt + 10}) {
        SCOPED_TRACE(end);
        EXPECT_FALSE(ReadCodeView(ReadableUpTo(table, end), table.Size(), record));
    }
    EXPECT_TRUE(
        ReadCodeView(ReadableUpTo(table, ImageTable::kRecordAt + 24), table.Size(), record));
    EXPECT_EQ(record.debug_file_length, 0u) << "the path could not be read";
}

TEST(ReadCodeView, APathLongerThanKeptIsLeftOut) {
    ImageTable table;
    const std::string path(kMaxDebugFileLength + 10, 'p');
    table.SetRecord("RSDS", 1, path);
    table.SetEntry(0, 2, 24 + static_cast<uint32_t>(path.size()) + 1, ImageTable::kRecordAt);
    CodeViewRecord record;
    ASSERT_TRUE(
        ReadCodeView(MemoryImageBytes(table.Bytes().data(), table.Size()), table.Size(), record));
    EXPECT_EQ(record.debug_file_length, 0u);

    const std::string longest(kMaxDebugFileLength - 1, 'q');
    table.SetRecord("RSDS", 1, longest);
    table.SetEntry(0, 2, 24 + static_cast<uint32_t>(longest.size()) + 1, ImageTable::kRecordAt);
    ASSERT_TRUE(
        ReadCodeView(MemoryImageBytes(table.Bytes().data(), table.Size()), table.Size(), record));
    EXPECT_EQ(std::string(record.debug_file, record.debug_file_length), longest);
}

TEST(WriteDebugId, GuidFieldsAsNumbersAndTheAgeInHex) {
    const struct {
        uint32_t age;
        const char* suffix;
    } cases[] = {{0, "-0"}, {1, "-1"}, {0xA, "-a"}, {0x10, "-10"}, {0xFFFFFFFF, "-ffffffff"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age);
        CodeViewRecord record;
        std::memcpy(record.guid, kGuid, sizeof kGuid);
        record.age = c.age;
        EXPECT_EQ(DebugId(record), std::string(kGuidText) + c.suffix);
    }
}

}  // namespace
}  // namespace sentry_lite
