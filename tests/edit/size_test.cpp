#include "edit/size.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string>

namespace {

struct Parsed {
    const char* error;
    uint64_t bytes;
    bool rest;
};

Parsed parse(const char* text, uint32_t block_size = 0) {
    Parsed p{nullptr, 12345, true};
    p.error = kv::parse_size(text, block_size, &p.bytes, &p.rest);
    return p;
}

void expect_bytes(const char* text, uint64_t bytes, uint32_t block_size = 0) {
    Parsed p = parse(text, block_size);
    EXPECT_EQ(p.error, nullptr) << "input '" << text << "' refused with " << p.error;
    EXPECT_FALSE(p.rest) << text;
    EXPECT_EQ(p.bytes, bytes) << text;
}

void expect_error(const char* text, const char* error, uint32_t block_size = 0) {
    Parsed p = parse(text, block_size);
    ASSERT_NE(p.error, nullptr) << "input '" << text << "' accepted as " << p.bytes;
    EXPECT_STREQ(p.error, error) << text;
    EXPECT_EQ(p.bytes, 0u) << text;
    EXPECT_FALSE(p.rest) << text;
}

const char kNeedSize[] = "write a size such as 512M, 20G or rest";
const char kUnknownUnit[] = "unknown unit: use K, M, G or T";
const char kNumberTooLarge[] = "the number is too large";
const char kSizeTooLarge[] = "the size is too large";
const char kNoBlocks[] = "sizes in blocks are not possible here";

std::string shown(void (*fn)(char*, size_t, uint64_t), uint64_t bytes, size_t size = 32) {
    char buffer[64];
    fn(buffer, size, bytes);
    return buffer;
}

std::string general(uint64_t bytes) {
    return shown(kv::format_size, bytes);
}
std::string exact(uint64_t bytes) {
    return shown(kv::format_size_short, bytes);
}

TEST(ParseSize, BareNumberAndUnitSpellingsOfMebibytes) {
    for (const char* text : {"512", "512M", "512 m", "512MiB", "512mb", "  512", "512 ", "512mIb"})
        expect_bytes(text, 536870912ULL);
}

TEST(ParseSize, EachUnitScalesByPowersOf1024) {
    expect_bytes("4096B", 4096);
    expect_bytes("3K", 3072);
    expect_bytes("3KiB", 3072);
    expect_bytes("2G", 2147483648ULL);
    expect_bytes("20G  ", 21474836480ULL);
    expect_bytes("1T", 1099511627776ULL);
    expect_bytes("1tb", 1099511627776ULL);
    expect_bytes("0", 0);
}

TEST(ParseSize, FractionInMillionthsIsTruncatedNotRounded) {
    expect_bytes("1.5G", 1610612736ULL);
    expect_bytes("1,5G", 1610612736ULL);
    expect_bytes("1.G", 1073741824ULL);
    expect_bytes("0.0000005K", 0);
    // 0.999999 K = 1023.998976 bytes, cut to 1023.
    expect_bytes("0.9999999K", 1023);
    expect_bytes("0.5", 524288);
    expect_bytes("2.25 M", 2359296);
}

TEST(ParseSize, BlocksNeedABlockSize) {
    expect_bytes("8S", 4096, 512);
    expect_bytes("8s", 32768, 4096);
    expect_bytes("1.5S", 768, 512);
    expect_error("8S", kNoBlocks);
}

TEST(ParseSize, RestAllAndMaxIgnoreCaseButNotTrailingBlanks) {
    for (const char* text : {"rest", "  REST", "All", "\t max", "\n\rMaX"}) {
        Parsed p = parse(text);
        EXPECT_EQ(p.error, nullptr) << text;
        EXPECT_TRUE(p.rest) << text;
        EXPECT_EQ(p.bytes, 0u) << text;
    }
    expect_error("rest ", kNeedSize);
    expect_error("rests", kNeedSize);
    expect_error("res", kNeedSize);
}

TEST(ParseSize, RefusesWhatIsNotANumberFollowedByAUnit) {
    expect_error("M20", kNeedSize);
    expect_error("", kNeedSize);
    expect_error("   ", kNeedSize);
    expect_error(".5G", kNeedSize);
    expect_error("-1G", kNeedSize);
    expect_error("20X", kUnknownUnit);
    expect_error("20GB extra", kUnknownUnit);
    expect_error("20GiB ", kUnknownUnit);
    expect_error("20BiB", kUnknownUnit);
    expect_error("20 G G", kUnknownUnit);
    expect_error("20\tG", kUnknownUnit);
    expect_error("1.5.5G", kUnknownUnit);
}

TEST(ParseSize, LargeNumbersAreRefusedInsteadOfWrapping) {
    expect_error("99999999999999999999", kNumberTooLarge);
    expect_error("99999999999999999999B", kNumberTooLarge);
    expect_error("18446744073709551615.5B", kNumberTooLarge);
    // 1,844,674,407,370,955,160 can take any further digit; one more cannot.
    expect_bytes("18446744073709551609B", 18446744073709551609ULL);
    expect_error("18446744073709551610B", kNumberTooLarge);
    // Numbers that fit, but not once multiplied by the unit.
    expect_error("20000000T", kSizeTooLarge);
    expect_error("18446744073709551609K", kSizeTooLarge);
    expect_error("17179869184G", kSizeTooLarge);
    expect_bytes("16777215T", 16777215ULL << 40);
    expect_bytes("17179869183.999999G", 17179869183ULL * 1073741824ULL + 1073740750ULL);
}

TEST(ParseSize, FractionThatPushesTheSumOverIsRefused) {
    // With a unit that is not a power of two the whole part can leave less
    // room than the fraction adds.
    expect_error("18446744073709.999999S", kSizeTooLarge, 1000000);
    expect_bytes("18446744073709.551615S", UINT64_MAX, 1000000);
}

TEST(FormatSize, BelowOneKiBShowsWholeBytes) {
    EXPECT_EQ(general(0), "0 B");
    EXPECT_EQ(general(1023), "1023 B");
    EXPECT_EQ(general(1000), "1000 B");
}

TEST(FormatSize, TenthDigitIsTruncated) {
    EXPECT_EQ(general(1024), "1.0 KiB");
    EXPECT_EQ(general(1536), "1.5 KiB");
    EXPECT_EQ(general(2047), "1.9 KiB");
    EXPECT_EQ(general(1048575), "1023.9 KiB");
    EXPECT_EQ(general(1048576), "1.0 MiB");
    EXPECT_EQ(general(1610612736ULL), "1.5 GiB");
    EXPECT_EQ(general(3ULL << 40), "3.0 TiB");
    EXPECT_EQ(general(1ULL << 50), "1.0 PiB");
}

TEST(FormatSize, PebibytesIsTheLargestUnit) {
    EXPECT_EQ(general(1ULL << 60), "1024.0 PiB");
    EXPECT_EQ(general(UINT64_MAX), "16383.9 PiB");
}

TEST(FormatSize, ShortBufferCutsTheText) {
    EXPECT_EQ(shown(kv::format_size, 1536, 4), "1.5");
    EXPECT_EQ(shown(kv::format_size_short, 2ULL << 30, 2), "2");
}

TEST(FormatSizeShort, WholeGiBThenWholeMiBThenGeneralForm) {
    EXPECT_EQ(exact(0), "0 MiB");
    EXPECT_EQ(exact(2ULL << 30), "2 GiB");
    EXPECT_EQ(exact(1610612736ULL), "1536 MiB");
    EXPECT_EQ(exact(1048576), "1 MiB");
    EXPECT_EQ(exact(1ULL << 50), "1048576 GiB");
    EXPECT_EQ(exact(1000), "1000 B");
    EXPECT_EQ(exact(1048576 + 512), "1.0 MiB");
}

TEST(ParseSize, ShortFormReadsBackToTheSameBytes) {
    for (uint64_t bytes : {0ULL, 1ULL << 20, 3ULL << 30, 1536ULL << 20, 7ULL << 40}) {
        std::string text = exact(bytes);
        expect_bytes(text.c_str(), bytes);
    }
}

} // namespace

TEST(BlocksToBytes, MultipliesAndSaturatesInsteadOfWrapping) {
    EXPECT_EQ(kv::blocks_to_bytes(2048, 512), 1048576u);
    EXPECT_EQ(kv::blocks_to_bytes(UINT64_MAX / 4096, 4096), UINT64_MAX / 4096 * 4096);
    EXPECT_EQ(kv::blocks_to_bytes(UINT64_MAX / 4096 + 1, 4096), UINT64_MAX);
    EXPECT_EQ(kv::blocks_to_bytes(UINT64_MAX, 512), UINT64_MAX);
}
