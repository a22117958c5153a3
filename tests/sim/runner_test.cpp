#include "sim/runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/disks.h"
#include "platform/globals.h"
#include "platform/keyboard.h"
#include "platform/volumes.h"
#include "sim/disks.h"
#include "tests/sim/storage_images.h"

namespace {

namespace fs = std::filesystem;

// ---- Command line ----

TEST(RunnerImageArg, SuffixesComeOffTheEndInEitherOrder) {
    sim::ImageArg arg;
    std::string error;
    ASSERT_TRUE(sim::parse_image_arg("disk.img", &arg, &error));
    EXPECT_EQ(arg.path, "disk.img");
    EXPECT_FALSE(arg.read_only);
    EXPECT_EQ(arg.block_size, 512u);

    ASSERT_TRUE(sim::parse_image_arg("disk.img:ro:4096", &arg, &error));
    EXPECT_EQ(arg.path, "disk.img");
    EXPECT_TRUE(arg.read_only);
    EXPECT_EQ(arg.block_size, 4096u);

    ASSERT_TRUE(sim::parse_image_arg("disk.img:4096:ro", &arg, &error));
    EXPECT_EQ(arg.path, "disk.img");
    EXPECT_TRUE(arg.read_only);
    EXPECT_EQ(arg.block_size, 4096u);

    // A colon that is no suffix belongs to the path; a suffix counts once.
    ASSERT_TRUE(sim::parse_image_arg("a:b/disk.img:ro", &arg, &error));
    EXPECT_EQ(arg.path, "a:b/disk.img");
    ASSERT_TRUE(sim::parse_image_arg("disk.img:ro:ro", &arg, &error));
    EXPECT_EQ(arg.path, "disk.img:ro");
    EXPECT_TRUE(arg.read_only);
}

TEST(RunnerImageArg, RejectsBadBlockSizesAndMissingPaths) {
    sim::ImageArg arg;
    std::string error;
    for (const char* text : {"d.img:1000", "d.img:256", "d.img:131072", "d.img:99999999"}) {
        EXPECT_FALSE(sim::parse_image_arg(text, &arg, &error)) << text;
        EXPECT_EQ(error, std::string(text) + ": the block size must be a power of two from 512 "
                                             "to 65536");
    }
    EXPECT_FALSE(sim::parse_image_arg(":ro", &arg, &error));
    EXPECT_EQ(error, ":ro: no image file named");
}

sim::RunnerOptions parse_ok(const std::vector<std::string>& args) {
    sim::RunnerOptions o;
    std::string error;
    EXPECT_TRUE(sim::parse_runner_args(args, &o, &error)) << error;
    return o;
}

std::string parse_error(const std::vector<std::string>& args) {
    sim::RunnerOptions o;
    std::string error;
    EXPECT_FALSE(sim::parse_runner_args(args, &o, &error));
    return error;
}

TEST(RunnerArgs, OptionsAndImagesInAnyOrder) {
    sim::RunnerOptions o = parse_ok({"a.img", "--fs", "/x", "--size=120x40", "b.img:ro", "--keys",
                                     "q", "--dump-screens", "--", "--c.img:4096"});
    ASSERT_EQ(o.images.size(), 3u);
    EXPECT_EQ(o.images[0].path, "a.img");
    EXPECT_TRUE(o.images[1].read_only);
    EXPECT_EQ(o.images[2].path, "--c.img");
    EXPECT_EQ(o.images[2].block_size, 4096u);
    EXPECT_EQ(o.fs_dir, "/x");
    EXPECT_EQ(o.columns, 120u);
    EXPECT_EQ(o.rows, 40u);
    EXPECT_TRUE(o.scripted);
    EXPECT_EQ(o.keys, "q");
    EXPECT_TRUE(o.dump_screens);
    EXPECT_FALSE(o.dump_screen);

    o = parse_ok({"--keys=", "--dump-screen"});
    EXPECT_TRUE(o.scripted);
    EXPECT_EQ(o.keys, "");
    EXPECT_TRUE(o.dump_screen);
    EXPECT_TRUE(parse_ok({"-h"}).help);
    EXPECT_FALSE(parse_ok({"x.img"}).scripted);
}

TEST(RunnerArgs, RejectsWhatItCannotUse) {
    EXPECT_EQ(parse_error({"--frobnicate"}), "unknown option --frobnicate");
    EXPECT_EQ(parse_error({"--keys"}), "--keys needs a value");
    EXPECT_EQ(parse_error({"--fs="}), "--fs needs a directory");
    EXPECT_EQ(parse_error({"--dump-screen=1", "--keys", "q"}), "--dump-screen takes no value");
    EXPECT_EQ(parse_error({"--dump-screen"}), "--dump-screen needs --keys");
    EXPECT_EQ(parse_error({"--dump-screens", "a.img"}), "--dump-screens needs --keys");
    for (const char* size : {"100", "0x25", "80x0", "1001x25", "x25", "80x", "8a0x25"})
        EXPECT_EQ(parse_error({"--size", size}),
                  std::string("--size ") + size + ": expected WxH, each from 1 to 1000");
}

TEST(RunnerArgs, TheScreenBelongsToTheGraphicalRun) {
    sim::RunnerOptions o = parse_ok({"--keys", "q"});
    EXPECT_FALSE(o.gui);
    o = parse_ok({"--gui", "--keys", "q", "--screen=639x480", "--screenshot", "shot.png",
                  "--screenshots", "frames", "--trace"});
    EXPECT_TRUE(o.gui);
    EXPECT_EQ(o.screen_width, 639u);
    EXPECT_EQ(o.screen_height, 480u);
    EXPECT_EQ(o.screenshot, "shot.png");
    EXPECT_EQ(o.screenshots_dir, "frames");
    EXPECT_TRUE(o.trace);
    // --size means pixels with --gui, whichever comes first, and cells without.
    o = parse_ok({"--size", "1920x1080", "--gui", "--keys", "q"});
    EXPECT_EQ(o.screen_width, 1920u);
    EXPECT_EQ(o.screen_height, 1080u);
    EXPECT_EQ(o.columns, 0u);
    o = parse_ok({"--size", "120x40"});
    EXPECT_EQ(o.columns, 120u);
    EXPECT_EQ(o.screen_width, 1280u);
    EXPECT_TRUE(parse_ok({"--no-screen"}).no_screen);

    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--size", "2000x20000"}),
              "--size 2000x20000: expected WxH, each from 1 to 16384");
    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--size", "800x600", "--screen", "800x600"}),
              "--size and --screen both set the screen with --gui: give one");
    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--screen", "0x480"}),
              "--screen 0x480: expected WxH, each from 1 to 16384");
    EXPECT_EQ(parse_error({"--gui"}),
              "--gui needs --keys: the screen cannot be shown in a terminal");
    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--no-screen"}),
              "--gui needs the screen: not with --no-screen");
    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--dump-screen"}),
              "--dump-screen shows the text console: not with --gui");
    EXPECT_EQ(parse_error({"--screen", "800x600"}), "--screen needs --gui");
    EXPECT_EQ(parse_error({"--screenshot", "a.png"}), "--screenshot needs --gui");
    EXPECT_EQ(parse_error({"--screenshots", "d"}), "--screenshots needs --gui");
    EXPECT_EQ(parse_error({"--trace"}), "--trace needs --gui");
    EXPECT_EQ(parse_error({"--gui", "--keys", "q", "--screenshot="}),
              "--screenshot needs a file name");
}

// ---- Exit status ----

TEST(RunnerExitStatus, FollowsTheProgramUnlessTheKeysRanOut) {
    EXPECT_EQ(sim::exit_status({false, EFI_SUCCESS}, false), 0);
    EXPECT_EQ(sim::exit_status({false, EFI_WARN_DELETE_FAILURE}, false), 0);
    EXPECT_EQ(sim::exit_status({false, EFI_DEVICE_ERROR}, false), 7);
    EXPECT_EQ(sim::exit_status({true, EFI_ABORTED}, false), 21);
    EXPECT_EQ(sim::exit_status({true, EFI_LOAD_ERROR}, false), 1);
    // An error whose low byte is 0 must still fail.
    EXPECT_EQ(sim::exit_status({false, EFI_ERROR_BIT | 0x100}, false), 1);
    EXPECT_EQ(sim::exit_status({true, EFI_ABORTED}, true), sim::kExitKeysExhausted);
    EXPECT_EQ(sim::exit_status({false, EFI_SUCCESS}, true), sim::kExitKeysExhausted);
}

// ---- Images and the start volume ----

class RunnerFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvane-runner-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        kv::release_disks();
        kv::volume_release();
        sim::reset(); // closes the image files
        fs::remove_all(dir_);
    }

    std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }

    std::string error_of_image(const std::string& path, uint32_t block_size = 512) {
        sim::ImageArg arg;
        arg.path = path;
        arg.block_size = block_size;
        std::string error;
        EXPECT_FALSE(sim::check_image(arg, &error));
        return error;
    }

    std::string dir_;
};

TEST_F(RunnerFiles, ImagesMustBeWholeBlocks) {
    std::string odd = file("odd.img", std::vector<uint8_t>(1000));
    EXPECT_EQ(error_of_image(odd), odd + ": its size, 1000 bytes, is not a whole number of "
                                         "512-byte blocks");
    std::string half = file("half.img", std::vector<uint8_t>(6144));
    EXPECT_EQ(error_of_image(half, 4096), half + ": its size, 6144 bytes, is not a whole "
                                                 "number of 4096-byte blocks");
    std::string empty = file("empty.img", {});
    EXPECT_EQ(error_of_image(empty), empty + ": the image is empty");
    EXPECT_EQ(error_of_image(dir_ + "/none.img"), dir_ + "/none.img: No such file or directory");
    EXPECT_EQ(error_of_image(dir_), dir_ + ": not a regular file");

    sim::ImageArg arg;
    arg.path = half;
    std::string error;
    EXPECT_TRUE(sim::check_image(arg, &error)) << error;
}

TEST_F(RunnerFiles, VolumeDirectoryMustTakeFiles) {
    std::string error;
    EXPECT_TRUE(sim::check_volume_dir(dir_, &error)) << error;
    // The probe file is gone again.
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_FALSE(sim::check_volume_dir(dir_ + "/none", &error));
    EXPECT_EQ(error, dir_ + "/none: No such file or directory");
    std::string plain = file("plain", {1});
    EXPECT_FALSE(sim::check_volume_dir(plain, &error));
    EXPECT_EQ(error, plain + ": not a directory");
    // Even root cannot create files in /proc.
    EXPECT_FALSE(sim::check_volume_dir("/proc", &error));
    EXPECT_EQ(error.rfind("/proc: cannot write there: ", 0), 0u) << error;
}

TEST_F(RunnerFiles, DisksComeInCommandLineOrderWithTheirBlockSizeAndWriteState) {
    // Partitioned images, so that the partition handles sit between the
    // disks in the program's sorted list.
    auto gpt = kvtest::gpt_image(
        8192, {kvtest::gpt_entry(0, 2048, 4095, "0B0C0D0E-0000-4000-8000-000000000001"),
               kvtest::gpt_entry(1, 4096, 8000, "0B0C0D0E-0000-4000-8000-000000000002")});
    std::vector<sim::ImageArg> images(10);
    for (size_t i = 0; i < images.size(); i++) {
        // Sizes tell the disks apart: 8192 + i blocks.
        std::vector<uint8_t> bytes = gpt->image();
        bytes.resize(bytes.size() + i * 512);
        images[i].path = file("d" + std::to_string(i) + ".img", bytes);
    }
    images[1].read_only = true;
    images[2].block_size = 4096;
    // 8194 blocks of 512 are not whole blocks of 4096: give it its own size.
    std::vector<uint8_t> big(4096 * 100);
    images[2].path = file("big.img", big);

    sim::reset();
    std::vector<EFI_HANDLE> handles;
    std::string warnings, error;
    ASSERT_TRUE(sim::attach_images(images, &handles, &warnings, &error)) << error;
    EXPECT_EQ(warnings, "");
    ASSERT_EQ(handles.size(), images.size());
    EXPECT_TRUE(sim::block_media(handles[1])->ReadOnly);
    EXPECT_FALSE(sim::block_media(handles[0])->ReadOnly);
    EXPECT_EQ(sim::block_media(handles[2])->BlockSize, 4096u);
    EXPECT_EQ(sim::block_media(handles[2])->LastBlock, 99u);
    EXPECT_EQ(sim::partition_handles(handles[0]).size(), 2u);

    EFI_HANDLE volume = sim::attach_start_volume(dir_);
    kv::g_loaded_image = sim::loaded_image();
    EXPECT_EQ(sim::loaded_image()->DeviceHandle, volume);

    kv::Disk* disks = nullptr;
    int count = kv::discover_disks(&disks);
    ASSERT_EQ(count, int(images.size()));
    for (int i = 0; i < count; i++) {
        uint64_t expected = i == 2 ? 4096u * 100 : 512u * (8192 + uint64_t(i));
        EXPECT_EQ(disks[i].size_bytes, expected) << "disk " << i << " " << disks[i].name;
        EXPECT_FALSE(disks[i].started_here) << disks[i].name;
        EXPECT_EQ(disks[i].read_only, i == 1) << disks[i].name;
    }
    // The volume sorts first and the disks are numbered after it.
    EXPECT_STREQ(disks[0].name, "blk1");

    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 1);
    EXPECT_EQ(kv::boot_volume(), 0);
    EXPECT_STREQ(kv::volume_at(0)->name, "fs0");
    EXPECT_EQ(kv::volume_at(0)->handle, volume);
    EXPECT_FALSE(kv::volume_at(0)->read_only);
}

TEST_F(RunnerFiles, BootSuffixPutsFs0OnThatDisk) {
    sim::ImageArg arg;
    std::string error;
    ASSERT_TRUE(sim::parse_image_arg("disk.img:boot:ro", &arg, &error));
    EXPECT_EQ(arg.path, "disk.img");
    EXPECT_TRUE(arg.boot);
    EXPECT_TRUE(arg.read_only);
    sim::RunnerOptions options;
    EXPECT_FALSE(sim::parse_runner_args({"a.img:boot", "b.img:boot"}, &options, &error));
    EXPECT_EQ(error, "only one image can be the disk the program was started from (:boot)");

    std::vector<sim::ImageArg> images(3);
    for (size_t i = 0; i < images.size(); i++)
        images[i].path = file("b" + std::to_string(i) + ".img", std::vector<uint8_t>(512 * 64));
    sim::reset();
    std::vector<EFI_HANDLE> handles;
    std::string warnings;
    ASSERT_TRUE(sim::attach_images(images, &handles, &warnings, &error)) << error;
    EFI_HANDLE volume = sim::attach_start_volume(dir_, 1);
    kv::g_loaded_image = sim::loaded_image();
    kv::Disk* disks = nullptr;
    ASSERT_EQ(kv::discover_disks(&disks), 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(disks[i].started_here, i == 1) << disks[i].name;
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 1);
    EXPECT_EQ(kv::boot_volume(), 0);
    EXPECT_EQ(kv::volume_at(0)->handle, volume);

    // A boot image with a partition carries the volume on that partition's
    // handle, so the disks after it keep the names firmware gives them.
    std::vector<uint8_t> mbr(512 * 64);
    mbr[446 + 4] = 0x0C;
    mbr[446 + 8] = 8;
    mbr[446 + 12] = 32;
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    images[0].path = file("p0.img", mbr);
    // The lists live in the firmware's pool, which the reset drops.
    kv::release_disks();
    kv::volume_release();
    sim::reset();
    ASSERT_TRUE(sim::attach_images(images, &handles, &warnings, &error)) << error;
    ASSERT_EQ(sim::partition_handles(handles[0]).size(), 1u);
    volume = sim::attach_start_volume(dir_, 0, false, handles[0]);
    EXPECT_EQ(volume, sim::partition_handles(handles[0])[0]);
    kv::g_loaded_image = sim::loaded_image();
    ASSERT_EQ(kv::discover_disks(&disks), 3);
    EXPECT_TRUE(disks[0].started_here);
    EXPECT_STREQ(disks[1].name, "blk2");
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 1);
    EXPECT_EQ(kv::volume_at(0)->handle, volume);
}

TEST_F(RunnerFiles, FailingImagesFailEveryReadOrWrite) {
    sim::ImageArg arg;
    std::string error;
    ASSERT_TRUE(sim::parse_image_arg("d.img:failwrite:failread", &arg, &error));
    EXPECT_EQ(arg.path, "d.img");
    EXPECT_TRUE(arg.fail_reads && arg.fail_writes);
    ASSERT_TRUE(sim::parse_image_arg("d.img:failwrite=3:badblock=7:badblock=9", &arg, &error));
    EXPECT_EQ(arg.fail_write_from, 3u);
    EXPECT_EQ(arg.bad_blocks, (std::vector<uint64_t>{9, 7}));
    EXPECT_FALSE(sim::parse_image_arg("d.img:failwrite=0", &arg, &error));
    EXPECT_FALSE(sim::parse_image_arg("d.img:badblock=x", &arg, &error));
    sim::RunnerOptions options;
    EXPECT_FALSE(sim::parse_runner_args({"--no-fs", "--fs-ro", "d.img"}, &options, &error));
    EXPECT_EQ(error, "--no-fs goes with neither --fs nor --fs-ro");

    std::vector<sim::ImageArg> images(2);
    for (size_t i = 0; i < images.size(); i++)
        images[i].path = file("f" + std::to_string(i) + ".img", std::vector<uint8_t>(512 * 64));
    images[0].fail_reads = true;
    images[1].fail_writes = true;
    sim::reset();
    std::vector<EFI_HANDLE> handles;
    std::string warnings;
    ASSERT_TRUE(sim::attach_images(images, &handles, &warnings, &error)) << error;
    std::vector<uint8_t> block(512);
    for (int round = 0; round < 2; round++) {
        EFI_BLOCK_IO_PROTOCOL* bad_read = sim::block_io_of(handles[0]);
        EFI_BLOCK_IO_PROTOCOL* bad_write = sim::block_io_of(handles[1]);
        EXPECT_EQ(bad_read->ReadBlocks(bad_read, 0, 0, 512, block.data()), EFI_DEVICE_ERROR);
        EXPECT_EQ(bad_read->WriteBlocks(bad_read, 0, 0, 512, block.data()), EFI_SUCCESS);
        EXPECT_EQ(bad_write->ReadBlocks(bad_write, 0, 0, 512, block.data()), EFI_SUCCESS);
        EXPECT_EQ(bad_write->WriteBlocks(bad_write, 0, 0, 512, block.data()), EFI_DEVICE_ERROR);
    }

    // A cut at the second write, and one bad block.
    sim::ImageArg cut;
    cut.path = file("cut.img", std::vector<uint8_t>(512 * 64));
    cut.fail_write_from = 2;
    cut.bad_blocks = {5};
    sim::reset();
    handles.clear();
    ASSERT_TRUE(sim::attach_images({cut}, &handles, &warnings, &error)) << error;
    EFI_BLOCK_IO_PROTOCOL* io = sim::block_io_of(handles[0]);
    EXPECT_EQ(io->WriteBlocks(io, 0, 0, 512, block.data()), EFI_SUCCESS);
    EXPECT_EQ(io->WriteBlocks(io, 0, 0, 512, block.data()), EFI_DEVICE_ERROR);
    EXPECT_EQ(io->WriteBlocks(io, 0, 1, 512, block.data()), EFI_DEVICE_ERROR);
    EXPECT_EQ(io->ReadBlocks(io, 0, 4, 512, block.data()), EFI_SUCCESS);
    std::vector<uint8_t> two(1024);
    EXPECT_EQ(io->ReadBlocks(io, 0, 4, 1024, two.data()), EFI_DEVICE_ERROR);
}

TEST_F(RunnerFiles, AttachingStopsAtABadImage) {
    std::vector<sim::ImageArg> images(2);
    images[0].path = file("good.img", std::vector<uint8_t>(4096));
    images[1].path = file("bad.img", std::vector<uint8_t>(700));
    sim::reset();
    std::vector<EFI_HANDLE> handles;
    std::string warnings, error;
    EXPECT_FALSE(sim::attach_images(images, &handles, &warnings, &error));
    EXPECT_EQ(error, images[1].path + ": its size, 700 bytes, is not a whole number of "
                                      "512-byte blocks");
}

TEST(RunnerConsole, AskedSizeIsASecondModeBeside80x25) {
    sim::reset();
    sim::set_console_size(120, 40);
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    ASSERT_EQ(out->Mode->MaxMode, 2);
    UINTN columns = 0, rows = 0;
    ASSERT_EQ(out->QueryMode(out, 0, &columns, &rows), EFI_SUCCESS);
    EXPECT_EQ(columns * 1000 + rows, 80u * 1000 + 25);
    ASSERT_EQ(out->QueryMode(out, 1, &columns, &rows), EFI_SUCCESS);
    EXPECT_EQ(columns * 1000 + rows, 120u * 1000 + 40);
    EXPECT_EQ(out->Mode->Mode, 0);

    sim::set_console_size(80, 25);
    EXPECT_EQ(out->Mode->MaxMode, 1);
    sim::set_console_size(0, 0);
    EXPECT_EQ(out->Mode->MaxMode, 1);
}

// ---- Firmware hooks the runner stands on ----

TEST(RunnerHooks, StallHookSeesEachStallBeforeTheClockMoves) {
    sim::reset();
    std::vector<uint64_t> seen;
    sim::set_stall_hook([&](uint64_t us) { seen.push_back(us * 1000000 + sim::now_100ns()); });
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    bs->Stall(10000);
    bs->Stall(7);
    EXPECT_EQ(seen, (std::vector<uint64_t>{10000ull * 1000000, 7ull * 1000000 + 100000}));
    sim::reset();
    bs->Stall(1); // the hook went with the reset
    EXPECT_EQ(seen.size(), 2u);
}

TEST(RunnerHooks, ReadHookRunsOnlyWithoutAKeyAndItsKeyIsReadAtOnce) {
    sim::reset();
    int calls = 0;
    sim::set_key_read_hook([&]() {
        if (++calls == 2) sim::push_key(0, u'h');
    });
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = sim::system_table()->ConIn;
    EFI_INPUT_KEY key = {};
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    EXPECT_EQ(key.UnicodeChar, u'h');
    // A key already due is read without asking the hook.
    sim::push_key(0, u'i');
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    EXPECT_EQ(calls, 2);

    EFI_GUID guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    void* iface = nullptr;
    sim::system_table()->BootServices->HandleProtocol(sim::system_table()->ConsoleInHandle, &guid,
                                                      &iface);
    auto* in_ex = static_cast<EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*>(iface);
    sim::set_key_read_hook([&]() { sim::push_key(kv::SCAN_UP, 0, sim::kShiftCtrl); });
    EFI_KEY_DATA data = {};
    EXPECT_EQ(in_ex->ReadKeyStrokeEx(in_ex, &data), EFI_SUCCESS);
    EXPECT_EQ(data.Key.ScanCode, kv::SCAN_UP);
    EXPECT_EQ(data.KeyState.KeyShiftState, sim::kShiftCtrl);
    sim::reset();
    EXPECT_EQ(sim::system_table()->ConIn->ReadKeyStroke(sim::system_table()->ConIn, &key),
              EFI_NOT_READY);
}

// ---- Scripted runs ----

// A stand-in for the program. It owns no host objects: a run may end
// inside it through Exit.
struct Program {
    int polls = 0; // reads that do not wait, before each wait
    int waits = 0; // waits before it returns by itself (q also ends it)
    std::vector<std::string> log;
};
Program g_program;

void show(const std::string& text) {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    out->ClearScreen(out);
    std::u16string units(text.begin(), text.end());
    out->OutputString(out, units.data());
}

EFI_STATUS program_entry(void*) {
    for (int wait = 0;; wait++) {
        for (int poll = 0; poll < g_program.polls; poll++) {
            kv::KeyEvent key;
            if (kv::key_wait(&key, 0))
                g_program.log.push_back("poll " + std::to_string(poll) + ": " + char(key.ch));
        }
        if (wait == g_program.waits) return EFI_SUCCESS;
        show("waiting " + std::to_string(wait));
        kv::KeyEvent key;
        kv::key_wait(&key, -1);
        g_program.log.push_back("wait " + std::to_string(wait) + ": " + char(key.ch));
        if (key.ch == 'q') return EFI_NOT_FOUND;
    }
}

class RunnerScript : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        g_program = Program{};
        g_program.waits = 100;
        EFI_GUID guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
        void* iface = nullptr;
        sim::system_table()->BootServices->HandleProtocol(sim::system_table()->ConsoleInHandle,
                                                          &guid, &iface);
        kv::g_con_in_ex = static_cast<EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*>(iface);
    }
    void TearDown() override { kv::g_con_in_ex = nullptr; }

    sim::SessionEnd run(const std::string& script, bool every_frame = false,
                        bool last_frame = false) {
        std::vector<sim::ScriptKey> keys;
        std::string error;
        EXPECT_TRUE(sim::parse_key_script(script, &keys, &error)) << error;
        output_.clear();
        return sim::run_scripted(
            keys, every_frame, last_frame, [this](const std::string& s) { output_ += s; },
            program_entry, nullptr);
    }

    std::string output_;
};

TEST_F(RunnerScript, KeysGoToWaitsOneAtATime) {
    g_program.polls = 2;
    sim::SessionEnd end = run("a,b,q");
    EXPECT_EQ(g_program.log, (std::vector<std::string>{"wait 0: a", "wait 1: b", "wait 2: q"}));
    EXPECT_FALSE(end.keys_exhausted);
    EXPECT_FALSE(end.result.exited);
    EXPECT_EQ(end.result.status, EFI_NOT_FOUND);
    EXPECT_EQ(sim::exit_status(end.result, end.keys_exhausted), 14);
    EXPECT_EQ(output_, "");
}

TEST_F(RunnerScript, UsedUpScriptEndsTheRunAtTheNextWait) {
    sim::SessionEnd end = run("a", false, true);
    EXPECT_EQ(g_program.log, (std::vector<std::string>{"wait 0: a"}));
    EXPECT_TRUE(end.keys_exhausted);
    EXPECT_TRUE(end.result.exited);
    EXPECT_EQ(sim::exit_status(end.result, end.keys_exhausted), sim::kExitKeysExhausted);
    // The last screen: the one the program waited on.
    EXPECT_EQ(output_, "waiting 1\n" + std::string(24, '\n'));
}

TEST_F(RunnerScript, ProgramEndingByItselfKeepsItsStatusWithKeysLeft) {
    g_program.waits = 1;
    sim::SessionEnd end = run("a,b,c");
    EXPECT_FALSE(end.keys_exhausted);
    EXPECT_EQ(end.result.status, EFI_SUCCESS);
    EXPECT_EQ(g_program.log, (std::vector<std::string>{"wait 0: a"}));
}

// The program calibrates its time-stamp counter against a 10 ms stall; in a
// scripted run that stall must take real time too, or every elapsed time
// the program measures comes out hundreds of times too long.
std::chrono::steady_clock::duration g_stalled;

EFI_STATUS stalling_entry(void*) {
    auto before = std::chrono::steady_clock::now();
    sim::system_table()->BootServices->Stall(10000);
    g_stalled = std::chrono::steady_clock::now() - before;
    return EFI_SUCCESS;
}

TEST_F(RunnerScript, StallsTakeRealTimeForTheClockCalibration) {
    g_stalled = {};
    sim::run_scripted(
        {}, false, false, [](const std::string&) {}, stalling_entry, nullptr);
    EXPECT_GE(g_stalled, std::chrono::milliseconds(10));
}

TEST_F(RunnerScript, EveryFrameIsTheScreenEachKeyWasTypedOn) {
    sim::SessionEnd end = run("x,y", true);
    EXPECT_TRUE(end.keys_exhausted);
    std::string blank(24, '\n');
    EXPECT_EQ(output_,
              "waiting 0\n" + blank + "----\nwaiting 1\n" + blank + "----\nwaiting 2\n" + blank);
}

TEST_F(RunnerScript, PollsFindNoKeyUnlessItIsMarkedForThem) {
    g_program.polls = 3;
    run("x,y");
    EXPECT_EQ(g_program.log, (std::vector<std::string>{"wait 0: x", "wait 1: y"}));
}

TEST_F(RunnerScript, MarkedKeyGoesToTheCountedRead) {
    g_program.polls = 4;
    // The second poll of round 0 gets e; the next key waits for the wait;
    // the third read after w (polls 0-2 of round 1) gets z.
    run("poll2-e,w,poll3-z,q");
    EXPECT_EQ(g_program.log,
              (std::vector<std::string>{"poll 1: e", "wait 0: w", "poll 2: z", "wait 1: q"}));
}

TEST_F(RunnerScript, MarkedKeyNotReachedByPollsGoesToTheWait) {
    g_program.polls = 2;
    // A wait's own first look counts as a read, but the wait takes any key.
    run("poll9-e,q");
    EXPECT_EQ(g_program.log, (std::vector<std::string>{"wait 0: e", "wait 1: q"}));
}

} // namespace
