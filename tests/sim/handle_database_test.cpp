#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware.h"

namespace {

EFI_GUID test_guid(uint32_t n) {
    return EFI_GUID{n, 0x5a5a, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
}

class HandleDatabase : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        bs = sim::system_table()->BootServices;
    }

    EFI_HANDLE new_handle(EFI_GUID guid, void* iface) {
        EFI_HANDLE h = nullptr;
        EXPECT_EQ(bs->InstallProtocolInterface(&h, &guid, EFI_NATIVE_INTERFACE, iface),
                  EFI_SUCCESS);
        return h;
    }

    std::vector<EFI_HANDLE> locate(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid) {
        UINTN n = 0;
        EFI_HANDLE* buffer = nullptr;
        EFI_STATUS status = bs->LocateHandleBuffer(type, guid, nullptr, &n, &buffer);
        if (EFI_ERROR(status)) return {};
        std::vector<EFI_HANDLE> out(buffer, buffer + n);
        EXPECT_EQ(bs->FreePool(buffer), EFI_SUCCESS);
        return out;
    }

    EFI_BOOT_SERVICES* bs = nullptr;
    EFI_GUID a = test_guid(0xa);
    EFI_GUID b = test_guid(0xb);
    int iface1 = 1, iface2 = 2, iface3 = 3;
};

TEST_F(HandleDatabase, ListsHandlesOfAProtocolInTheOrderItWasInstalled) {
    EFI_HANDLE h1 = new_handle(b, &iface1);
    EFI_HANDLE h2 = new_handle(b, &iface2);
    EFI_HANDLE h3 = new_handle(b, &iface3);
    // Installed on h3 first although h3 is the newest handle.
    EXPECT_EQ(bs->InstallProtocolInterface(&h3, &a, EFI_NATIVE_INTERFACE, &iface3), EFI_SUCCESS);
    EXPECT_EQ(bs->InstallProtocolInterface(&h1, &a, EFI_NATIVE_INTERFACE, &iface1), EFI_SUCCESS);

    EXPECT_EQ(locate(ByProtocol, &a), (std::vector<EFI_HANDLE>{h3, h1}));
    EXPECT_EQ(locate(ByProtocol, &b), (std::vector<EFI_HANDLE>{h1, h2, h3}));

    // After the console's handle comes the serial terminal's input.
    EFI_GUID input_ex = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    std::vector<EFI_HANDLE> inputs = locate(ByProtocol, &input_ex);
    ASSERT_EQ(inputs.size(), 2u);
    std::vector<EFI_HANDLE> all = locate(AllHandles, nullptr);
    std::vector<EFI_HANDLE> expected_all = {
        sim::image_handle(), sim::system_table()->ConsoleOutHandle, inputs[1], h1, h2, h3};
    EXPECT_EQ(all, expected_all);

    void* found = nullptr;
    EXPECT_EQ(bs->LocateProtocol(&a, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &iface3);
}

TEST_F(HandleDatabase, LocateHandleBufferHandsOutAPoolBlockTheCallerFrees) {
    new_handle(a, &iface1);
    new_handle(a, &iface2);
    size_t before = sim::pool_blocks_live();
    UINTN n = 0;
    EFI_HANDLE* buffer = nullptr;
    ASSERT_EQ(bs->LocateHandleBuffer(ByProtocol, &a, nullptr, &n, &buffer), EFI_SUCCESS);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(sim::pool_blocks_live(), before + 1);
    EXPECT_EQ(bs->FreePool(buffer), EFI_SUCCESS);
    EXPECT_EQ(sim::pool_blocks_live(), before);
    EXPECT_EQ(bs->FreePool(buffer), EFI_INVALID_PARAMETER);
}

TEST_F(HandleDatabase, SearchesThatFindNothingReportNotFound) {
    UINTN n = 7;
    EFI_HANDLE* buffer = reinterpret_cast<EFI_HANDLE*>(&n);
    EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &a, nullptr, &n, &buffer), EFI_NOT_FOUND);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buffer, nullptr);
    void* iface = &n;
    EXPECT_EQ(bs->LocateProtocol(&a, nullptr, &iface), EFI_NOT_FOUND);
    EXPECT_EQ(iface, nullptr);
    EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, nullptr, nullptr, &n, &buffer),
              EFI_INVALID_PARAMETER);
}

TEST_F(HandleDatabase, LocateHandleReportsTheSizeItNeeds) {
    EFI_HANDLE h1 = new_handle(a, &iface1);
    EFI_HANDLE h2 = new_handle(a, &iface2);
    EFI_HANDLE out[2] = {};
    UINTN size = sizeof(EFI_HANDLE);
    EXPECT_EQ(bs->LocateHandle(ByProtocol, &a, nullptr, &size, out), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
    EXPECT_EQ(out[0], nullptr);
    EXPECT_EQ(bs->LocateHandle(ByProtocol, &a, nullptr, &size, out), EFI_SUCCESS);
    EXPECT_EQ(out[0], h1);
    EXPECT_EQ(out[1], h2);
}

TEST_F(HandleDatabase, InstallAndUninstallKeepOneInterfacePerProtocol) {
    EFI_HANDLE h = new_handle(a, &iface1);
    EXPECT_EQ(bs->InstallProtocolInterface(&h, &a, EFI_NATIVE_INTERFACE, &iface2),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->InstallProtocolInterface(&h, &b, EFI_NATIVE_INTERFACE, &iface2), EFI_SUCCESS);

    void* iface = nullptr;
    EXPECT_EQ(bs->HandleProtocol(h, &a, &iface), EFI_SUCCESS);
    EXPECT_EQ(iface, &iface1);
    EFI_GUID missing = test_guid(0xc);
    EXPECT_EQ(bs->HandleProtocol(h, &missing, &iface), EFI_UNSUPPORTED);

    EXPECT_EQ(bs->UninstallProtocolInterface(h, &a, &iface2), EFI_NOT_FOUND);
    EXPECT_EQ(bs->UninstallProtocolInterface(h, &a, &iface1), EFI_SUCCESS);
    EXPECT_EQ(bs->HandleProtocol(h, &a, &iface), EFI_UNSUPPORTED);
    EXPECT_EQ(bs->HandleProtocol(h, &b, &iface), EFI_SUCCESS);

    // Removing the last protocol removes the handle itself.
    EXPECT_EQ(sim::uninstall_protocol(h, b), EFI_SUCCESS);
    EXPECT_EQ(bs->HandleProtocol(h, &b, &iface), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->InstallProtocolInterface(&h, &a, EFI_NATIVE_INTERFACE, &iface1),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(locate(AllHandles, nullptr).size(), 3u); // image, console, terminal
}

TEST_F(HandleDatabase, ListsProtocolsOfAHandleInOneFreeableBlock) {
    EFI_HANDLE h = new_handle(a, &iface1);
    ASSERT_EQ(bs->InstallProtocolInterface(&h, &b, EFI_NATIVE_INTERFACE, &iface2), EFI_SUCCESS);
    size_t before = sim::pool_blocks_live();
    EFI_GUID** guids = nullptr;
    UINTN n = 0;
    ASSERT_EQ(bs->ProtocolsPerHandle(h, &guids, &n), EFI_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_TRUE(efi_guid_equal(*guids[0], a));
    EXPECT_TRUE(efi_guid_equal(*guids[1], b));
    EXPECT_EQ(bs->FreePool(guids), EFI_SUCCESS);
    EXPECT_EQ(sim::pool_blocks_live(), before);
}

class OpenProtocol : public HandleDatabase {
  protected:
    void SetUp() override {
        HandleDatabase::SetUp();
        device = new_handle(a, &iface1);
        driver1 = new_handle(b, &iface2);
        driver2 = new_handle(b, &iface3);
    }

    EFI_STATUS open(EFI_HANDLE agent, uint32_t attributes, void** iface) {
        return bs->OpenProtocol(device, &a, iface, agent, device, attributes);
    }

    EFI_HANDLE device = nullptr, driver1 = nullptr, driver2 = nullptr;
};

TEST_F(OpenProtocol, ByDriverIsRefusedWhileAnotherAgentHoldsIt) {
    void* iface = nullptr;
    ASSERT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_SUCCESS);
    EXPECT_EQ(iface, &iface1);
    EXPECT_EQ(open(driver2, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_ACCESS_DENIED);
    EXPECT_EQ(iface, nullptr);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_ALREADY_STARTED);
    EXPECT_EQ(iface, &iface1);
    // Looking at the protocol never conflicts with a driver holding it.
    EXPECT_EQ(open(driver2, EFI_OPEN_PROTOCOL_GET_PROTOCOL, &iface), EFI_SUCCESS);

    EXPECT_EQ(bs->CloseProtocol(device, &a, driver1, device), EFI_SUCCESS);
    EXPECT_EQ(open(driver2, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_SUCCESS);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_ACCESS_DENIED);
}

TEST_F(OpenProtocol, ByDriverIsRefusedOnADeviceAFirmwareDriverOwns) {
    sim::set_driver_owned(device, a, true);
    void* iface = nullptr;
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_ACCESS_DENIED);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_EXCLUSIVE, &iface), EFI_ACCESS_DENIED);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_GET_PROTOCOL, &iface), EFI_SUCCESS);
    EXPECT_EQ(iface, &iface1);
    sim::set_driver_owned(device, a, false);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_SUCCESS);
}

TEST_F(OpenProtocol, ExclusiveShutsOutDrivers) {
    void* iface = nullptr;
    ASSERT_EQ(open(driver1, EFI_OPEN_PROTOCOL_EXCLUSIVE, &iface), EFI_SUCCESS);
    EXPECT_EQ(open(driver2, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_ACCESS_DENIED);
    EXPECT_EQ(open(driver2, EFI_OPEN_PROTOCOL_EXCLUSIVE, &iface), EFI_ACCESS_DENIED);
    EXPECT_EQ(open(driver1, EFI_OPEN_PROTOCOL_EXCLUSIVE, &iface), EFI_ALREADY_STARTED);
}

TEST_F(OpenProtocol, CloseProtocolNeedsAnOpenByThatAgent) {
    void* iface = nullptr;
    EXPECT_EQ(bs->CloseProtocol(device, &a, driver1, device), EFI_NOT_FOUND);
    ASSERT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_SUCCESS);
    EXPECT_EQ(bs->CloseProtocol(device, &a, driver2, device), EFI_NOT_FOUND);
    EXPECT_EQ(bs->CloseProtocol(device, &a, driver1, nullptr), EFI_NOT_FOUND);
    EXPECT_EQ(sim::open_count(device, a), 1u);
    EXPECT_EQ(bs->CloseProtocol(device, &a, driver1, device), EFI_SUCCESS);
    EXPECT_EQ(sim::open_count(device, a), 0u);
    EXPECT_EQ(bs->CloseProtocol(device, &a, driver1, device), EFI_NOT_FOUND);
    EXPECT_EQ(bs->CloseProtocol(device, &b, driver1, device), EFI_NOT_FOUND);
}

TEST_F(OpenProtocol, TestProtocolOnlyAnswersWhetherItIsThere) {
    EXPECT_EQ(open(nullptr, EFI_OPEN_PROTOCOL_TEST_PROTOCOL, nullptr), EFI_SUCCESS);
    EXPECT_EQ(sim::open_count(device, a), 0u);
    EXPECT_EQ(
        bs->OpenProtocol(device, &b, nullptr, nullptr, nullptr, EFI_OPEN_PROTOCOL_TEST_PROTOCOL),
        EFI_UNSUPPORTED);
    void* iface = nullptr;
    EXPECT_EQ(
        open(driver1, EFI_OPEN_PROTOCOL_GET_PROTOCOL | EFI_OPEN_PROTOCOL_TEST_PROTOCOL, &iface),
        EFI_INVALID_PARAMETER);
    EXPECT_EQ(open(nullptr, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_INVALID_PARAMETER);
}

TEST_F(OpenProtocol, ADriverHeldProtocolCannotBeUninstalled) {
    void* iface = nullptr;
    ASSERT_EQ(open(driver1, EFI_OPEN_PROTOCOL_BY_DRIVER, &iface), EFI_SUCCESS);
    EXPECT_EQ(bs->UninstallProtocolInterface(device, &a, &iface1), EFI_ACCESS_DENIED);
    ASSERT_EQ(bs->CloseProtocol(device, &a, driver1, device), EFI_SUCCESS);
    EXPECT_EQ(bs->UninstallProtocolInterface(device, &a, &iface1), EFI_SUCCESS);
}

// Device path nodes as raw bytes: type, subtype, 16-bit length, data.
void add_node(std::vector<uint8_t>& path, uint8_t type, uint8_t subtype,
              std::vector<uint8_t> data) {
    size_t len = 4 + data.size();
    path.insert(path.end(), {type, subtype, uint8_t(len), uint8_t(len >> 8)});
    path.insert(path.end(), data.begin(), data.end());
}

void end_path(std::vector<uint8_t>& path) {
    add_node(path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {});
}

class LocateDevicePath : public HandleDatabase {
  protected:
    void SetUp() override {
        HandleDatabase::SetUp();
        add_node(pci, ACPI_DEVICE_PATH, ACPI_DP, {0xd0, 0x41, 0x03, 0x0a, 0, 0, 0, 0});
        add_node(pci, HARDWARE_DEVICE_PATH, HW_PCI_DP, {0, 0x1f});
        sata = pci;
        add_node(sata, MESSAGING_DEVICE_PATH, MSG_SATA_DP, {0, 0, 0xff, 0xff, 0, 0});
        partition = sata;
        add_node(partition, MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, std::vector<uint8_t>(38, 1));
        query = partition;
        add_node(query, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {'a', 0, 0, 0});
        end_path(query);
        for (auto* p : {&pci, &sata, &partition})
            end_path(*p);
    }

    EFI_HANDLE device_with_path(std::vector<uint8_t>& path, bool block_io) {
        EFI_HANDLE h = new_handle(dp_guid, path.data());
        if (block_io) {
            EXPECT_EQ(bs->InstallProtocolInterface(&h, &a, EFI_NATIVE_INTERFACE, &iface1),
                      EFI_SUCCESS);
        }
        return h;
    }

    EFI_GUID dp_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    std::vector<uint8_t> pci, sata, partition, query;
};

TEST_F(LocateDevicePath, PicksTheLongestMatchingPrefixAmongHandlesWithTheProtocol) {
    device_with_path(pci, true);
    EFI_HANDLE disk = device_with_path(sata, true);
    device_with_path(partition, false); // longer, but without the protocol
    auto* path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(query.data());
    EFI_HANDLE found = nullptr;
    ASSERT_EQ(bs->LocateDevicePath(&a, &path, &found), EFI_SUCCESS);
    EXPECT_EQ(found, disk);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(path), query.data() + sata.size() - 4);
    EXPECT_EQ(path->Type, MEDIA_DEVICE_PATH);
    EXPECT_EQ(path->SubType, MEDIA_HARDDRIVE_DP);
}

TEST_F(LocateDevicePath, ComparesNodeContentsNotJustTheirKind) {
    std::vector<uint8_t> other_port = pci;
    other_port.resize(other_port.size() - 4);
    add_node(other_port, MESSAGING_DEVICE_PATH, MSG_SATA_DP, {1, 0, 0xff, 0xff, 0, 0});
    end_path(other_port);
    device_with_path(other_port, true);
    auto* path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(query.data());
    EFI_HANDLE found = nullptr;
    EXPECT_EQ(bs->LocateDevicePath(&a, &path, &found), EFI_NOT_FOUND);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(path), query.data());

    // A handle path longer than the path asked about is no prefix of it.
    device_with_path(partition, true);
    path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(sata.data());
    EXPECT_EQ(bs->LocateDevicePath(&a, &path, &found), EFI_NOT_FOUND);
}

TEST(ConnectController, RunsTheHookSoDriversCanAppear) {
    sim::reset();
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    EFI_GUID controller_guid = test_guid(1);
    EFI_GUID child_guid = test_guid(2);
    int controller_iface = 0, child_iface = 0;
    EFI_HANDLE controller = nullptr;
    ASSERT_EQ(sim::install_protocol(&controller, controller_guid, &controller_iface), EFI_SUCCESS);
    std::vector<EFI_HANDLE> connected;
    sim::set_connect_hook([&](EFI_HANDLE h) {
        connected.push_back(h);
        EFI_HANDLE child = nullptr;
        sim::install_protocol(&child, child_guid, &child_iface);
    });
    void* found = nullptr;
    EXPECT_EQ(bs->LocateProtocol(&child_guid, nullptr, &found), EFI_NOT_FOUND);
    EXPECT_EQ(bs->ConnectController(controller, nullptr, nullptr, TRUE), EFI_SUCCESS);
    EXPECT_EQ(connected, std::vector<EFI_HANDLE>{controller});
    EXPECT_EQ(bs->LocateProtocol(&child_guid, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &child_iface);

    int not_a_handle = 0;
    EXPECT_EQ(bs->ConnectController(&not_a_handle, nullptr, nullptr, TRUE), EFI_INVALID_PARAMETER);
    EXPECT_EQ(connected.size(), 1u);
}

} // namespace
