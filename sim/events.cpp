// Events, timers and task priority over a virtual clock. Nothing here runs
// on a host thread: the clock moves only when the program stalls or waits
// (or a test advances it), and timers fire on the way, in deadline order.
// Notify functions run at their own task priority and are held back while
// the program has raised the priority to their level or above.
#include <algorithm>
#include <deque>
#include <memory>
#include <unordered_set>
#include <vector>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

// The period of a periodic timer set with a trigger time of 0: one tick of
// a typical firmware timer interrupt, 10 ms.
constexpr uint64_t kTimerTick = 100000;
// A wait in which the idle hook keeps reporting work that never signals a
// waited event gives up after this many rounds rather than spin forever.
constexpr int kMaxIdleRounds = 100000;

enum class TimerKind { Off, Relative, Periodic };

struct EventRecord {
    uint32_t type;
    EFI_TPL tpl;
    EFI_EVENT_NOTIFY notify;
    void* context;
    bool closed = false;
    bool signalled = false;
    bool notify_queued = false;
    TimerKind timer = TimerKind::Off;
    uint64_t deadline = 0;
    uint64_t period = 0;
};

struct EventState {
    // Records stay allocated until reset, so a closed event is recognised
    // as closed rather than as some newer event at the same address.
    std::vector<std::unique_ptr<EventRecord>> events;
    std::unordered_set<const void*> known;
    std::deque<EventRecord*> queued; // notifies waiting for the TPL to drop
    EFI_TPL tpl = TPL_APPLICATION;
    uint64_t now = 0;
    size_t live = 0;
    std::function<bool()> idle_hook;
    std::function<void(uint64_t)> stall_hook;
    std::function<void(EFI_TPL)> raise_hook;
};

EventState g_ev;

EventRecord* find_event(EFI_EVENT event) {
    if (!event || !g_ev.known.count(event)) return nullptr;
    auto* rec = static_cast<EventRecord*>(event);
    return rec->closed ? nullptr : rec;
}

void run_notify(EventRecord* ev) {
    EFI_TPL saved = g_ev.tpl;
    g_ev.tpl = ev->tpl;
    // A signal-type event is consumed by its notification.
    if (ev->type & EVT_NOTIFY_SIGNAL) ev->signalled = false;
    ev->notify(ev, ev->context);
    g_ev.tpl = saved;
}

// Runs queued notifies above `level`, highest priority first, in queue order
// within a priority.
void dispatch_above(EFI_TPL level) {
    for (;;) {
        auto best = g_ev.queued.end();
        for (auto it = g_ev.queued.begin(); it != g_ev.queued.end(); ++it)
            if ((*it)->tpl > level && (best == g_ev.queued.end() || (*it)->tpl > (*best)->tpl))
                best = it;
        if (best == g_ev.queued.end()) return;
        EventRecord* ev = *best;
        g_ev.queued.erase(best);
        ev->notify_queued = false;
        if (!ev->closed) run_notify(ev);
    }
}

void queue_notify(EventRecord* ev) {
    if (!ev->notify_queued) {
        ev->notify_queued = true;
        g_ev.queued.push_back(ev);
    }
    dispatch_above(g_ev.tpl);
}

void signal(EventRecord* ev) {
    if (ev->signalled) return;
    ev->signalled = true;
    if (ev->type & EVT_NOTIFY_SIGNAL) queue_notify(ev);
}

EventRecord* next_timer_due_by(uint64_t when) {
    EventRecord* next = nullptr;
    for (auto& ev : g_ev.events) {
        if (ev->closed || ev->timer == TimerKind::Off || ev->deadline > when) continue;
        if (!next || ev->deadline < next->deadline) next = ev.get();
    }
    return next;
}

// The earliest one-shot timer with a notification: a device's request that
// completes at a time of its own (periodic timers poll for ever and would
// keep a wait going).
const EventRecord* next_completion() {
    const EventRecord* next = nullptr;
    for (const auto& ev : g_ev.events)
        if (!ev->closed && ev->timer == TimerKind::Relative && (ev->type & EVT_NOTIFY_SIGNAL) &&
            (!next || ev->deadline < next->deadline))
            next = ev.get();
    return next;
}

void fire(EventRecord* ev) {
    if (ev->timer == TimerKind::Periodic) {
        ev->deadline += ev->period;
    } else {
        ev->timer = TimerKind::Off;
    }
    signal(ev);
}

void fire_due() {
    detail::clock_advance_to(g_ev.now);
}

EFI_TPL EFIAPI raise_tpl(EFI_TPL tpl) {
    EFI_TPL old = g_ev.tpl;
    g_ev.tpl = tpl;
    // A copy: the hook may replace itself.
    if (auto hook = g_ev.raise_hook) hook(tpl);
    return old;
}

VOID EFIAPI restore_tpl(EFI_TPL tpl) {
    g_ev.tpl = tpl;
    dispatch_above(tpl);
}

EFI_STATUS EFIAPI create_event(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID* context,
                               EFI_EVENT* event) {
    if (!event) return EFI_INVALID_PARAMETER;
    constexpr uint32_t known_bits = EVT_TIMER | EVT_RUNTIME | EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL;
    if (type & ~known_bits) return EFI_INVALID_PARAMETER;
    uint32_t kinds = type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL);
    if (kinds == (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) return EFI_INVALID_PARAMETER;
    if (kinds && (!notify || tpl <= TPL_APPLICATION || tpl > TPL_HIGH_LEVEL))
        return EFI_INVALID_PARAMETER;
    auto rec = std::make_unique<EventRecord>();
    rec->type = type;
    rec->tpl = tpl;
    rec->notify = kinds ? notify : nullptr;
    rec->context = context;
    *event = rec.get();
    g_ev.known.insert(rec.get());
    g_ev.events.push_back(std::move(rec));
    g_ev.live++;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_timer(EFI_EVENT event, EFI_TIMER_DELAY type, UINT64 trigger) {
    EventRecord* ev = find_event(event);
    if (!ev || !(ev->type & EVT_TIMER)) return EFI_INVALID_PARAMETER;
    switch (type) {
    case TimerCancel:
        ev->timer = TimerKind::Off;
        return EFI_SUCCESS;
    case TimerRelative:
        ev->timer = TimerKind::Relative;
        ev->deadline = g_ev.now + trigger;
        return EFI_SUCCESS;
    case TimerPeriodic:
        ev->timer = TimerKind::Periodic;
        ev->period = trigger ? trigger : kTimerTick;
        ev->deadline = g_ev.now + ev->period;
        return EFI_SUCCESS;
    }
    return EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI signal_event_service(EFI_EVENT event) {
    EventRecord* ev = find_event(event);
    if (!ev) return EFI_INVALID_PARAMETER;
    signal(ev);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI close_event(EFI_EVENT event) {
    EventRecord* ev = find_event(event);
    if (!ev) return EFI_INVALID_PARAMETER;
    ev->closed = true;
    ev->timer = TimerKind::Off;
    auto& q = g_ev.queued;
    q.erase(std::remove(q.begin(), q.end(), ev), q.end());
    g_ev.live--;
    return EFI_SUCCESS;
}

// CheckEvent without the argument checks: gives a wait-type event's notify
// function the chance to signal it, then consumes the signal.
EFI_STATUS check(EventRecord* ev) {
    if (!ev->signalled && (ev->type & EVT_NOTIFY_WAIT)) queue_notify(ev);
    if (!ev->signalled) return EFI_NOT_READY;
    ev->signalled = false;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI check_event(EFI_EVENT event) {
    EventRecord* ev = find_event(event);
    if (!ev || (ev->type & EVT_NOTIFY_SIGNAL)) return EFI_INVALID_PARAMETER;
    fire_due();
    return check(ev);
}

EFI_STATUS EFIAPI wait_for_event(UINTN count, EFI_EVENT* events, UINTN* index) {
    if (count == 0 || !events || !index) return EFI_INVALID_PARAMETER;
    if (g_ev.tpl != TPL_APPLICATION) return EFI_UNSUPPORTED;
    // Static: an idle hook may end the run with Exit, which unwinds past
    // this frame without destructors, and a local vector would leak.
    static std::vector<EventRecord*> waited;
    waited.assign(count, nullptr);
    for (UINTN i = 0; i < count; i++) {
        waited[i] = find_event(events[i]);
        if (!waited[i] || (waited[i]->type & EVT_NOTIFY_SIGNAL)) {
            *index = i;
            return EFI_INVALID_PARAMETER;
        }
    }
    auto poll = [&]() {
        for (UINTN i = 0; i < count; i++) {
            // A notify function may have closed one of the events.
            if (waited[i]->closed) {
                *index = i;
                return EFI_INVALID_PARAMETER;
            }
            if (check(waited[i]) == EFI_SUCCESS) {
                *index = i;
                return EFI_SUCCESS;
            }
        }
        return EFI_NOT_READY;
    };
    fire_due();
    for (int idle_rounds = 0;;) {
        EFI_STATUS status = poll();
        if (status != EFI_NOT_READY) return status;
        // A device's request in flight completes while the program waits:
        // time runs on to it before anything else is asked of the idle hook,
        // which stands for input.
        if (const EventRecord* device = next_completion()) {
            uint64_t when = device->deadline;
            for (const EventRecord* ev : waited)
                if (ev->timer != TimerKind::Off && ev->deadline < when) when = ev->deadline;
            detail::clock_advance_to(std::max(when, g_ev.now));
            continue;
        }
        bool produced = g_ev.idle_hook && g_ev.idle_hook();
        if (produced) {
            status = poll();
            if (status != EFI_NOT_READY) return status;
        }
        const EventRecord* next = nullptr;
        for (const EventRecord* ev : waited)
            if (ev->timer != TimerKind::Off && (!next || ev->deadline < next->deadline)) next = ev;
        if (next) {
            detail::clock_advance_to(std::max(next->deadline, g_ev.now));
            idle_rounds = 0;
        } else if (!produced || ++idle_rounds >= kMaxIdleRounds) {
            return EFI_DEVICE_ERROR;
        }
    }
}

EFI_STATUS EFIAPI stall(UINTN microseconds) {
    if (g_ev.stall_hook) g_ev.stall_hook(uint64_t(microseconds));
    uint64_t ticks = microseconds > UINT64_MAX / 10 ? UINT64_MAX : uint64_t(microseconds) * 10;
    uint64_t when = ticks > UINT64_MAX - g_ev.now ? UINT64_MAX : g_ev.now + ticks;
    detail::clock_advance_to(when);
    return EFI_SUCCESS;
}

} // namespace

namespace detail {

void events_reset(EFI_BOOT_SERVICES& bs) {
    g_ev = EventState{};
    bs.RaiseTPL = raise_tpl;
    bs.RestoreTPL = restore_tpl;
    bs.CreateEvent = create_event;
    bs.SetTimer = set_timer;
    bs.WaitForEvent = wait_for_event;
    bs.SignalEvent = signal_event_service;
    bs.CloseEvent = close_event;
    bs.CheckEvent = check_event;
    bs.Stall = stall;
}

bool event_known(EFI_EVENT event) {
    return find_event(event) != nullptr;
}

void clock_advance_to(uint64_t when) {
    while (EventRecord* ev = next_timer_due_by(when)) {
        g_ev.now = std::max(g_ev.now, ev->deadline);
        fire(ev);
    }
    g_ev.now = std::max(g_ev.now, when);
}

} // namespace detail

uint64_t now_100ns() {
    return g_ev.now;
}

void advance_100ns(uint64_t t) {
    uint64_t when = t > UINT64_MAX - g_ev.now ? UINT64_MAX : g_ev.now + t;
    detail::clock_advance_to(when);
}

EFI_TPL current_tpl() {
    return g_ev.tpl;
}
size_t live_events() {
    return g_ev.live;
}

void signal_event(EFI_EVENT event) {
    if (EventRecord* ev = find_event(event)) signal(ev);
}

void set_idle_hook(std::function<bool()> hook) {
    g_ev.idle_hook = std::move(hook);
}

void set_raise_tpl_hook(std::function<void(EFI_TPL)> hook) {
    g_ev.raise_hook = std::move(hook);
}

void set_stall_hook(std::function<void(uint64_t)> hook) {
    g_ev.stall_hook = std::move(hook);
}

} // namespace sim
