#include <gtest/gtest.h>

#include "platform/fatal.h"
#include "platform/globals.h"
#include "sim/firmware.h"

namespace {

EFI_STATUS die(void* message) {
    kv::fatal(static_cast<const char*>(message));
    return EFI_SUCCESS;
}

TEST(Fatal, WritesMessageOnItsOwnLineRestoresAttributeAndExits) {
    sim::reset();
    kv::g_saved_attribute = 0x1E;
    sim::set_console_attribute(0x4F);
    char message[] = "out of memory";
    sim::RunResult r = sim::run_image(die, message);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, EFI_LOAD_ERROR);
    EXPECT_EQ(sim::console_output(), u"\r\nkorvane: fatal: out of memory\r\n");
    EXPECT_EQ(sim::console_attribute(), 0x1Eu);
}

} // namespace
