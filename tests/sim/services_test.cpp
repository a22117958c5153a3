#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/firmware.h"

namespace {

class Services : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        st = sim::system_table();
        bs = st->BootServices;
        rt = st->RuntimeServices;
    }

    EFI_SYSTEM_TABLE* st = nullptr;
    EFI_BOOT_SERVICES* bs = nullptr;
    EFI_RUNTIME_SERVICES* rt = nullptr;
};

template <typename Table> bool header_crc_valid(const Table& table) {
    Table copy = table;
    copy.Hdr.CRC32 = 0;
    return sim::crc32(&copy, sizeof copy) == table.Hdr.CRC32;
}

TEST_F(Services, TablesCarryTheirSignaturesAndValidChecksums) {
    EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
    EXPECT_EQ(bs->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
    EXPECT_EQ(rt->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
    EXPECT_TRUE(header_crc_valid(*st));
    EXPECT_TRUE(header_crc_valid(*bs));
    EXPECT_TRUE(header_crc_valid(*rt));
}

TEST_F(Services, ServicesTheProgramMustNotUseAreUnsupported) {
    EFI_HANDLE image = nullptr;
    EXPECT_EQ(bs->LoadImage(FALSE, sim::image_handle(), nullptr, nullptr, 0, &image),
              EFI_UNSUPPORTED);
    EXPECT_EQ(bs->StartImage(sim::image_handle(), nullptr, nullptr), EFI_UNSUPPORTED);
    EXPECT_EQ(bs->UnloadImage(sim::image_handle()), EFI_UNSUPPORTED);
    EXPECT_EQ(bs->ExitBootServices(sim::image_handle(), 0), EFI_UNSUPPORTED);
    UINTN size = 0, key = 0, desc = 0;
    UINT32 version = 0;
    EXPECT_EQ(bs->GetMemoryMap(&size, nullptr, &key, &desc, &version), EFI_UNSUPPORTED);
    EFI_GUID guid = EFI_GLOBAL_VARIABLE_GUID;
    EXPECT_EQ(bs->InstallConfigurationTable(&guid, nullptr), EFI_UNSUPPORTED);
    EXPECT_EQ(bs->DisconnectController(sim::image_handle(), nullptr, nullptr), EFI_UNSUPPORTED);
    EFI_EVENT ev = nullptr;
    EXPECT_EQ(bs->CreateEventEx(0, 0, nullptr, nullptr, &guid, &ev), EFI_UNSUPPORTED);
    EXPECT_NE(bs->InstallMultipleProtocolInterfaces, nullptr);

    EFI_TIME time{};
    EXPECT_EQ(rt->SetTime(&time), EFI_UNSUPPORTED);
    char16_t name[] = u"ConOut";
    EXPECT_EQ(rt->SetVariable(name, &guid, 0, 0, nullptr), EFI_UNSUPPORTED);
    UINTN name_size = sizeof name;
    EXPECT_EQ(rt->GetNextVariableName(&name_size, name, &guid), EFI_UNSUPPORTED);
    UINT32 high = 0;
    EXPECT_EQ(rt->GetNextHighMonotonicCount(&high), EFI_UNSUPPORTED);
}

TEST_F(Services, CalculateCrc32IsTheStandardCrc) {
    char check[] = "123456789";
    UINT32 crc = 0;
    ASSERT_EQ(bs->CalculateCrc32(check, 9, &crc), EFI_SUCCESS);
    EXPECT_EQ(crc, 0xCBF43926u);
    EXPECT_EQ(bs->CalculateCrc32(check, 0, &crc), EFI_INVALID_PARAMETER);
}

TEST_F(Services, CopyMemHandlesOverlapAndSetMemFills) {
    char buffer[] = "abcdefgh";
    bs->CopyMem(buffer + 2, buffer, 5);
    EXPECT_STREQ(buffer, "ababcdeh");
    bs->SetMem(buffer, 3, 'z');
    EXPECT_STREQ(buffer, "zzzbcdeh");
}

TEST_F(Services, MonotonicCountOnlyIncreases) {
    UINT64 a = 0, b = 0;
    ASSERT_EQ(bs->GetNextMonotonicCount(&a), EFI_SUCCESS);
    ASSERT_EQ(bs->GetNextMonotonicCount(&b), EFI_SUCCESS);
    EXPECT_GT(b, a);
}

TEST_F(Services, WatchdogStartsArmedAndExpiresUnlessSwitchedOff) {
    EXPECT_EQ(sim::watchdog_timeout(), 300u);
    sim::advance_100ns(299ull * 10000000);
    EXPECT_FALSE(sim::watchdog_expired());
    sim::advance_100ns(10000000);
    EXPECT_TRUE(sim::watchdog_expired());

    sim::reset();
    bs = sim::system_table()->BootServices;
    ASSERT_EQ(bs->SetWatchdogTimer(0, 0, 0, nullptr), EFI_SUCCESS);
    EXPECT_EQ(sim::watchdog_timeout(), 0u);
    sim::advance_100ns(3600ull * 10000000);
    EXPECT_FALSE(sim::watchdog_expired());
}

TEST_F(Services, GetTimeAnswersTheConfiguredClock) {
    EFI_TIME set{};
    set.Year = 2031;
    set.Month = 12;
    set.Day = 31;
    set.Hour = 23;
    sim::set_time(set, false);
    EFI_TIME got{};
    ASSERT_EQ(rt->GetTime(&got, nullptr), EFI_SUCCESS);
    EXPECT_EQ(got.Year, 2031);
    EXPECT_EQ(got.Day, 31);
    EXPECT_EQ(got.Hour, 23);
    sim::set_time(set, true);
    EXPECT_EQ(rt->GetTime(&got, nullptr), EFI_DEVICE_ERROR);
    EXPECT_EQ(rt->GetTime(nullptr, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(Services, GetVariableReportsTheSizeItNeeds) {
    EFI_GUID global = EFI_GLOBAL_VARIABLE_GUID;
    EFI_GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    sim::set_variable(u"ConOut", global, {1, 2, 3, 4, 5});
    char16_t name[] = u"ConOut";
    uint8_t data[8] = {};
    UINTN size = 4;
    EXPECT_EQ(rt->GetVariable(name, &global, nullptr, &size, data), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(data[0], 0);
    size = sizeof data;
    UINT32 attributes = 0;
    ASSERT_EQ(rt->GetVariable(name, &global, &attributes, &size, data), EFI_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(data[4], 5);
    EXPECT_NE(attributes, 0u);
    EXPECT_EQ(rt->GetVariable(name, &other, nullptr, &size, data), EFI_NOT_FOUND);
    sim::erase_variable(u"ConOut", global);
    EXPECT_EQ(rt->GetVariable(name, &global, nullptr, &size, data), EFI_NOT_FOUND);
}

TEST_F(Services, LoadedImageIsOnTheImageHandle) {
    EFI_GUID guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    void* iface = nullptr;
    ASSERT_EQ(bs->HandleProtocol(sim::image_handle(), &guid, &iface), EFI_SUCCESS);
    EXPECT_EQ(iface, sim::loaded_image());
    EXPECT_EQ(sim::loaded_image()->SystemTable, st);
}

TEST_F(Services, ConsoleRecordsOutputAndMode) {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = st->ConOut;
    char16_t text[] = u"A\u00e9\u20ac\U0001F600\r\n";
    ASSERT_EQ(out->OutputString(out, text), EFI_SUCCESS);
    EXPECT_EQ(sim::console_output(), std::u16string(text));
    EXPECT_EQ(sim::console_output_utf8(), "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\r\n");
    EXPECT_EQ(out->Mode->CursorRow, 1);
    EXPECT_EQ(out->Mode->CursorColumn, 0);

    EXPECT_EQ(sim::console_attribute(), 7u);
    ASSERT_EQ(out->SetAttribute(out, 0x1F), EFI_SUCCESS);
    EXPECT_EQ(sim::console_attribute(), 0x1Fu);
    EXPECT_EQ(out->SetAttribute(out, 0x80), EFI_UNSUPPORTED);
    EXPECT_EQ(out->Mode->Attribute, 0x1F);
    sim::set_console_attribute(0);
    EXPECT_EQ(out->Mode->Attribute, 0);

    UINTN columns = 0, rows = 0;
    ASSERT_EQ(out->QueryMode(out, 0, &columns, &rows), EFI_SUCCESS);
    EXPECT_EQ(columns, 80u);
    EXPECT_EQ(rows, 25u);
    EXPECT_EQ(out->QueryMode(out, 1, &columns, &rows), EFI_UNSUPPORTED);

    EXPECT_FALSE(sim::console_cursor_visible());
    ASSERT_EQ(out->EnableCursor(out, TRUE), EFI_SUCCESS);
    EXPECT_TRUE(sim::console_cursor_visible());
    EXPECT_EQ(out->SetCursorPosition(out, 80, 0), EFI_UNSUPPORTED);
    ASSERT_EQ(out->SetCursorPosition(out, 79, 24), EFI_SUCCESS);
    EXPECT_EQ(out->Mode->CursorColumn, 79);
    ASSERT_EQ(out->ClearScreen(out), EFI_SUCCESS);
    EXPECT_EQ(sim::console_clear_count(), 1u);
    EXPECT_EQ(out->Mode->CursorRow, 0);
}

TEST(Utf16ToUtf8, ReplacesUnpairedSurrogates) {
    std::u16string s = u"a";
    s += char16_t(0xD800);
    s += u'b';
    s += char16_t(0xDC00);
    EXPECT_EQ(sim::utf16_to_utf8(s), "a\xef\xbf\xbd"
                                     "b\xef\xbf\xbd");
}

} // namespace
