#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware.h"

namespace {

struct NotifyLog {
    int calls = 0;
    std::vector<EFI_TPL> tpls;
    std::vector<uint64_t> times;
};

VOID EFIAPI record_notify(EFI_EVENT, VOID* context) {
    auto* log = static_cast<NotifyLog*>(context);
    log->calls++;
    log->tpls.push_back(sim::current_tpl());
    log->times.push_back(sim::now_100ns());
}

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        bs = sim::system_table()->BootServices;
    }

    EFI_EVENT timer(uint64_t relative) {
        EFI_EVENT ev = nullptr;
        EXPECT_EQ(bs->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
        EXPECT_EQ(bs->SetTimer(ev, TimerRelative, relative), EFI_SUCCESS);
        return ev;
    }

    EFI_EVENT plain() {
        EFI_EVENT ev = nullptr;
        EXPECT_EQ(bs->CreateEvent(0, 0, nullptr, nullptr, &ev), EFI_SUCCESS);
        return ev;
    }

    EFI_BOOT_SERVICES* bs = nullptr;
};

TEST_F(Events, WaitMovesTheClockToTheEarliestWaitedTimer) {
    EFI_EVENT events[] = {plain(), timer(50000), timer(20000)};
    UINTN index = 99;
    ASSERT_EQ(bs->WaitForEvent(3, events, &index), EFI_SUCCESS);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(sim::now_100ns(), 20000u);
    ASSERT_EQ(bs->WaitForEvent(3, events, &index), EFI_SUCCESS);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(sim::now_100ns(), 50000u);
    // Both timers are spent: nothing can end a third wait.
    EXPECT_EQ(bs->WaitForEvent(3, events, &index), EFI_DEVICE_ERROR);
}

TEST_F(Events, ASignalledEventEndsTheWaitWithoutTime) {
    EFI_EVENT events[] = {timer(1000), plain()};
    sim::advance_100ns(10);
    ASSERT_EQ(bs->SignalEvent(events[1]), EFI_SUCCESS);
    UINTN index = 99;
    ASSERT_EQ(bs->WaitForEvent(2, events, &index), EFI_SUCCESS);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(sim::now_100ns(), 10u);
    // The wait consumed the signal.
    EXPECT_EQ(bs->CheckEvent(events[1]), EFI_NOT_READY);
}

TEST_F(Events, WaitRejectsBadArgumentsAndRaisedPriority) {
    EFI_EVENT ev = timer(10);
    UINTN index = 0;
    EXPECT_EQ(bs->WaitForEvent(0, &ev, &index), EFI_INVALID_PARAMETER);
    NotifyLog log;
    EFI_EVENT signal_type = nullptr;
    ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, record_notify, &log, &signal_type),
              EFI_SUCCESS);
    EFI_EVENT mixed[] = {ev, signal_type};
    EXPECT_EQ(bs->WaitForEvent(2, mixed, &index), EFI_INVALID_PARAMETER);
    EXPECT_EQ(index, 1u);
    EFI_TPL old = bs->RaiseTPL(TPL_CALLBACK);
    EXPECT_EQ(bs->WaitForEvent(1, &ev, &index), EFI_UNSUPPORTED);
    bs->RestoreTPL(old);
    EXPECT_EQ(sim::now_100ns(), 0u);
}

TEST_F(Events, StallAdvancesTheClockAndRunsTimerNotifies) {
    NotifyLog log;
    EFI_EVENT periodic = nullptr;
    ASSERT_EQ(bs->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, record_notify, &log,
                              &periodic),
              EFI_SUCCESS);
    ASSERT_EQ(bs->SetTimer(periodic, TimerPeriodic, 100000), EFI_SUCCESS);
    ASSERT_EQ(bs->Stall(35000), EFI_SUCCESS);
    EXPECT_EQ(sim::now_100ns(), 350000u);
    EXPECT_EQ(log.calls, 3);
    EXPECT_EQ(log.times, (std::vector<uint64_t>{100000, 200000, 300000}));
    EXPECT_EQ(log.tpls, (std::vector<EFI_TPL>{TPL_CALLBACK, TPL_CALLBACK, TPL_CALLBACK}));
    EXPECT_EQ(sim::current_tpl(), EFI_TPL(TPL_APPLICATION));

    ASSERT_EQ(bs->SetTimer(periodic, TimerCancel, 0), EFI_SUCCESS);
    ASSERT_EQ(bs->Stall(100000), EFI_SUCCESS);
    EXPECT_EQ(log.calls, 3);
}

TEST_F(Events, NotifiesWaitWhileThePriorityIsRaised) {
    NotifyLog log;
    EFI_EVENT ev = nullptr;
    ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, record_notify, &log, &ev),
              EFI_SUCCESS);
    EFI_TPL old = bs->RaiseTPL(TPL_NOTIFY);
    EXPECT_EQ(old, EFI_TPL(TPL_APPLICATION));
    EXPECT_EQ(sim::current_tpl(), EFI_TPL(TPL_NOTIFY));
    ASSERT_EQ(bs->SignalEvent(ev), EFI_SUCCESS);
    ASSERT_EQ(bs->SignalEvent(ev), EFI_SUCCESS);
    EXPECT_EQ(log.calls, 0);
    bs->RestoreTPL(old);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.tpls, std::vector<EFI_TPL>{TPL_CALLBACK});
    ASSERT_EQ(bs->SignalEvent(ev), EFI_SUCCESS);
    EXPECT_EQ(log.calls, 2);
}

TEST_F(Events, CheckEventConsumesTheSignal) {
    EFI_EVENT ev = timer(100);
    EXPECT_EQ(bs->CheckEvent(ev), EFI_NOT_READY);
    sim::advance_100ns(100);
    EXPECT_EQ(bs->CheckEvent(ev), EFI_SUCCESS);
    EXPECT_EQ(bs->CheckEvent(ev), EFI_NOT_READY);

    NotifyLog log;
    EFI_EVENT signal_type = nullptr;
    ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, record_notify, &log, &signal_type),
              EFI_SUCCESS);
    EXPECT_EQ(bs->CheckEvent(signal_type), EFI_INVALID_PARAMETER);
}

TEST_F(Events, CreateEventChecksTypeAndNotifyArguments) {
    EFI_EVENT ev = nullptr;
    NotifyLog log;
    EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &ev),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_WAIT, TPL_APPLICATION, record_notify, &log, &ev),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->CreateEvent(EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, record_notify,
                              &log, &ev),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->CreateEvent(0x1, 0, nullptr, nullptr, &ev), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->CreateEvent(0, 0, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
    EFI_EVENT not_timer = plain();
    EXPECT_EQ(bs->SetTimer(not_timer, TimerRelative, 10), EFI_INVALID_PARAMETER);
}

TEST_F(Events, ClosedEventsAreForgotten) {
    size_t before = sim::live_events();
    EFI_EVENT ev = timer(100);
    EXPECT_EQ(sim::live_events(), before + 1);
    ASSERT_EQ(bs->CloseEvent(ev), EFI_SUCCESS);
    EXPECT_EQ(sim::live_events(), before);
    EXPECT_EQ(bs->CloseEvent(ev), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->SignalEvent(ev), EFI_INVALID_PARAMETER);
    UINTN index = 0;
    EXPECT_EQ(bs->WaitForEvent(1, &ev, &index), EFI_INVALID_PARAMETER);
}

TEST_F(Events, IdleHookDeliversInputBeforeATimeoutExpires) {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = sim::system_table()->ConIn;
    int idle_calls = 0;
    sim::set_idle_hook([&] {
        if (idle_calls++ > 0) return false;
        sim::push_key(0, u'y');
        return true;
    });
    EFI_EVENT events[] = {in->WaitForKey, timer(100000)};
    UINTN index = 99;
    ASSERT_EQ(bs->WaitForEvent(2, events, &index), EFI_SUCCESS);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(sim::now_100ns(), 0u);
    EFI_INPUT_KEY key{};
    ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    EXPECT_EQ(key.UnicodeChar, u'y');
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);

    // With no more input the timeout ends the next wait.
    ASSERT_EQ(bs->WaitForEvent(2, events, &index), EFI_SUCCESS);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(sim::now_100ns(), 100000u);
    EXPECT_EQ(bs->WaitForEvent(1, events, &index), EFI_DEVICE_ERROR);
}

TEST_F(Events, WaitForKeyStaysSignalledWhileKeysAreQueued) {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = sim::system_table()->ConIn;
    EXPECT_EQ(bs->CheckEvent(in->WaitForKey), EFI_NOT_READY);
    sim::push_key(0, u'a');
    sim::push_key(0x17, 0);
    EFI_INPUT_KEY key{};
    for (int i = 0; i < 2; i++) {
        UINTN index = 99;
        ASSERT_EQ(bs->WaitForEvent(1, &in->WaitForKey, &index), EFI_SUCCESS);
        ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    }
    EXPECT_EQ(key.ScanCode, 0x17);
    EXPECT_EQ(bs->CheckEvent(in->WaitForKey), EFI_NOT_READY);
}

} // namespace
