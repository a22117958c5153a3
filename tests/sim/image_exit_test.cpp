#include <gtest/gtest.h>

#include "sim/firmware.h"

namespace {

struct DeepRun {
    int depth_reached = 0;
    bool ran_past_exit = false;
    EFI_STATUS exit_answer = EFI_SUCCESS;
};

void descend(DeepRun* run, int depth) {
    run->depth_reached = depth;
    if (depth == 5) {
        EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
        bs->Exit(sim::image_handle(), EFI_ABORTED, 0, nullptr);
        run->ran_past_exit = true;
        return;
    }
    descend(run, depth + 1);
    run->ran_past_exit = true;
}

EFI_STATUS exit_deep(void* ctx) {
    descend(static_cast<DeepRun*>(ctx), 1);
    return EFI_SUCCESS;
}

EFI_STATUS exit_with_wrong_handle(void* ctx) {
    auto* run = static_cast<DeepRun*>(ctx);
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    run->exit_answer = bs->Exit(sim::system_table()->ConsoleOutHandle, EFI_ABORTED, 0, nullptr);
    return EFI_WARN_DELETE_FAILURE;
}

TEST(ImageExit, UnwindsFromANestedCallToTheRunner) {
    sim::reset();
    DeepRun run;
    sim::RunResult result = sim::run_image(exit_deep, &run);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, EFI_ABORTED);
    EXPECT_EQ(run.depth_reached, 5);
    EXPECT_FALSE(run.ran_past_exit);

    // The runner is usable again afterwards, and a normal return is told
    // apart from Exit.
    DeepRun second;
    result = sim::run_image(exit_with_wrong_handle, &second);
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.status, EFI_WARN_DELETE_FAILURE);
    EXPECT_EQ(second.exit_answer, EFI_INVALID_PARAMETER);
}

TEST(ImageExit, ExitOutsideARunIsRefused) {
    sim::reset();
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    EXPECT_EQ(bs->Exit(sim::image_handle(), EFI_SUCCESS, 0, nullptr), EFI_INVALID_PARAMETER);
}

} // namespace
