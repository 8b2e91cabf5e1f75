// The event core: clocks, the timer table under a controllable clock (names, periods, steps of
// the wall clock), the descriptor table (slots, readiness, callbacks that change the tables) and
// the loop's end on the quit flag.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/event.h"
#include "base/os.h"
#include "support/fakeclock.h"
#include "support/logcap.h"

namespace {

using Lines = std::vector<std::string>;

// Every callback appends its tag here, so a test sees which ran and in what order.
std::vector<std::string> g_calls;

void record_call(void *arg) { g_calls.push_back(static_cast<const char *>(arg)); }

class Event : public ::testing::Test {
protected:
    LogCapture cap;
    std::vector<int> fds_;

    void SetUp() override
    {
        FakeClock::install(1000);
        set_mono(1000);  // both clocks read 1000 until a test sets the wall clock
        poll_init();
        tm_init();
        EXPECT_EQ(cap.take(), (Lines{"System initial POLL mode success", "System initial timer success"}));
        g_calls.clear();
        os_quit = 0;
    }
    void TearDown() override
    {
        // The event core logs nothing besides its two initialisation lines.
        EXPECT_EQ(cap.take(), Lines{});
        for (int fd : fds_)
            close(fd);
        FakeClock::uninstall();
        os_quit = 0;
    }

    // An eventfd, readable when `ready`.
    int efd(bool ready)
    {
        int fd = eventfd(ready ? 1 : 0, EFD_NONBLOCK);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }
    static void make_ready(int fd)
    {
        uint64_t one = 1;
        ASSERT_EQ(write(fd, &one, sizeof one), 8);
    }

    int free_timer_slots() const
    {
        int n = 0;
        for (const tm_t &t : tm_table())
            n += t.name[0] == 0;
        return n;
    }
    static void set_mono(uint64_t sec) { FakeClock::mono = sec * 1000000; }
};

// ---- clocks ----

TEST_F(Event, ClocksFollowTheSeamAndTheRealSources)
{
    EXPECT_EQ(os_cursec(), 1000u);
    FakeClock::advance(5);
    EXPECT_EQ(os_cursec(), 1005u);
    FakeClock::usec = 777;
    EXPECT_EQ(os_curusec(), 777u);
    FakeClock::mono = 5999999;
    EXPECT_EQ(os_monousec(), 5999999u);
    EXPECT_EQ(os_monosec(), 5u);

    FakeClock::uninstall();
    const uint64_t t0 = static_cast<uint64_t>(time(nullptr));
    const uint64_t s = os_cursec();
    EXPECT_GE(s, t0);
    EXPECT_LE(s, t0 + 1);
    // os_curusec is the time-stamp counter in units of 1000 ticks.
    const uint64_t r0 = rdtsc();
    const uint64_t u = os_curusec();
    const uint64_t r1 = rdtsc();
    EXPECT_GE(u, r0 / 1000);
    EXPECT_LE(u, r1 / 1000);
    EXPECT_GT(r1, r0);
    timespec m0{};
    clock_gettime(CLOCK_MONOTONIC, &m0);
    const uint64_t mono = os_monosec();
    EXPECT_GE(mono, static_cast<uint64_t>(m0.tv_sec));
    EXPECT_LE(mono, static_cast<uint64_t>(m0.tv_sec) + 1);
    FakeClock::install(1000);
    set_mono(1000);
}

// ---- timer table ----

TEST_F(Event, TimerTableHoldsEightAndANinthChangesNothing)
{
    static const char *tags[] = {"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"};
    for (int i = 0; i < TM_SLOTS; i++)
        ASSERT_EQ(tm_add(tags[i], 1, record_call, const_cast<char *>(tags[i])), 0);
    tm_t before[TM_SLOTS];
    memcpy(before, tm_table(), sizeof before);
    EXPECT_EQ(tm_add("ninth", 1, record_call, nullptr), -ENOSPC);
    EXPECT_EQ(memcmp(before, tm_table(), sizeof before), 0);

    FakeClock::advance(1);
    tm_scan();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"}));
}

// A name is kept whole or refused: cut, "sdwclnt_0" and "sdwclnt_1" would be one timer.
struct NameCase {
    const char *name;
    int added;
};

TEST_F(Event, TimerNamesAreKeptWholeOrRefused)
{
    const NameCase cases[] = {
        {"sdwclnt_0", 0}, {"ab", 0}, {"fifteen-chars-x", 0}, {"sixteen-chars-xy", -ENAMETOOLONG}, {"", 0},
    };
    for (const NameCase &c : cases) {
        tm_init();
        cap.take();
        EXPECT_EQ(tm_add(c.name, 1, record_call, nullptr), c.added) << c.name;
        if (c.added == 0)
            EXPECT_STREQ(tm_table()[0].name, c.name);
        else
            EXPECT_EQ(free_timer_slots(), TM_SLOTS) << c.name;
    }
}

struct DelCase {
    const char *stored;
    const char *deleted;
    bool removed;
};

TEST_F(Event, TimerDeleteComparesTheWholeName)
{
    const DelCase cases[] = {
        {"sdwclnt_0", "sdwclnt_0", true}, {"sdwclnt_0", "sdwclnt_1", false}, {"sdwclnt_0", "sdwclnt_", false},
        {"sdwclnt_", "sdwclnt_0", false}, {"abc", "ABC", false},             {"abc", "", false},
    };
    for (const DelCase &c : cases) {
        tm_init();
        cap.take();
        ASSERT_EQ(tm_add("other", 1, record_call, nullptr), 0);
        ASSERT_EQ(tm_add(c.stored, 1, record_call, nullptr), 0);
        tm_del(c.deleted);
        EXPECT_EQ(tm_table()[1].name[0] == 0, c.removed) << c.stored << " del " << c.deleted;
        EXPECT_STREQ(tm_table()[0].name, "other") << c.stored << " del " << c.deleted;
        if (c.removed) {
            EXPECT_EQ(tm_table()[1].tmout, 0u);
            EXPECT_EQ(tm_table()[1].func, nullptr);
        }
    }
}

TEST_F(Event, SameNameTwiceBothRunAndDeleteTakesTheLowerSlot)
{
    ASSERT_EQ(tm_add("dup", 1, record_call, const_cast<char *>("first")), 0);
    ASSERT_EQ(tm_add("dup", 1, record_call, const_cast<char *>("second")), 0);
    FakeClock::advance(1);
    tm_scan();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first", "second"}));
    tm_del("dup");
    EXPECT_EQ(tm_table()[0].name[0], 0);
    EXPECT_STREQ(tm_table()[1].name, "dup");
    g_calls.clear();
    FakeClock::advance(1);
    tm_scan();
    EXPECT_EQ(g_calls, std::vector<std::string>{"second"});
    tm_del("nothing-here");
    EXPECT_EQ(free_timer_slots(), 7);
}

TEST_F(Event, PeriodZeroKeepsItsSlotAndNeverRuns)
{
    ASSERT_EQ(tm_add("zero", 0, record_call, const_cast<char *>("zero")), 0);
    ASSERT_EQ(tm_add("one", 1, record_call, const_cast<char *>("one")), 0);
    for (int i = 0; i < 5; i++) {
        FakeClock::advance(1000000);
        tm_scan();
    }
    EXPECT_EQ(g_calls, std::vector<std::string>(5, "one"));
    EXPECT_EQ(tm_table()[0].tmcnt, 0u);
}

// An empty name runs like any other timer, but its slot reads as free and is taken over.
TEST_F(Event, EmptyNameRunsButItsSlotIsTakenOver)
{
    ASSERT_EQ(tm_add("", 2, record_call, const_cast<char *>("empty")), 0);
    FakeClock::advance(2);
    tm_scan();
    EXPECT_EQ(g_calls, std::vector<std::string>{"empty"});
    EXPECT_EQ(tm_table()[0].tmcnt, 1u);
    ASSERT_EQ(tm_add("new", 1, record_call, const_cast<char *>("new")), 0);
    EXPECT_STREQ(tm_table()[0].name, "new");
    EXPECT_EQ(tm_table()[0].tmcnt, 0u);
    g_calls.clear();
    FakeClock::advance(5);
    tm_scan();
    EXPECT_EQ(g_calls, std::vector<std::string>{"new"});
    EXPECT_EQ(free_timer_slots(), 7);
}

// Monotonic clock readings at successive scans against the calls expected at each.
struct ScheduleCase {
    const char *name;
    uint64_t period;
    std::vector<uint64_t> clock;  // reading at each scan; registration at 1000
    std::vector<int> calls;       // total calls after each scan
};

TEST_F(Event, TimerScheduleFollowsTheScanClock)
{
    const ScheduleCase cases[] = {
        {"period 1, every second", 1, {1000, 1000, 1001, 1001, 1002, 1003}, {0, 0, 1, 1, 2, 3}},
        {"period 3, due at registration + 3", 3, {1001, 1002, 1003, 1004, 1005, 1006}, {0, 0, 1, 1, 1, 2}},
        // late scans are not made up, and the next due time counts from the late scan
        {"period 2, a late scan", 2, {1005, 1006, 1007, 1008}, {1, 1, 2, 2}},
        // a long wait (a suspended host): one call, not one per missed period
        {"long wait", 1, {1001, 5000, 5000, 5001}, {1, 2, 2, 3}},
        {"huge period", UINT64_MAX / 2, {1001, 100000000, UINT64_MAX / 2 + 999}, {0, 0, 0}},
    };
    for (const ScheduleCase &c : cases) {
        tm_init();
        cap.take();
        g_calls.clear();
        set_mono(1000);
        ASSERT_EQ(tm_add("sched", c.period, record_call, const_cast<char *>("sched")), 0);
        ASSERT_EQ(c.clock.size(), c.calls.size());
        for (size_t i = 0; i < c.clock.size(); i++) {
            set_mono(c.clock[i]);
            tm_scan();
            EXPECT_EQ(static_cast<int>(g_calls.size()), c.calls[i]) << c.name << ", scan " << i;
            EXPECT_EQ(tm_table()[0].tmcnt, static_cast<uint64_t>(c.calls[i])) << c.name << ", scan " << i;
        }
    }
}

// The clock is read once per scan: a callback that moves the clock does not change when the later
// slots of the same scan are called or what they record.
void advance_clock_cb(void *arg)
{
    record_call(arg);
    FakeClock::advance(100);
}

TEST_F(Event, ScanReadsTheClockOnce)
{
    ASSERT_EQ(tm_add("mover", 1, advance_clock_cb, const_cast<char *>("mover")), 0);
    ASSERT_EQ(tm_add("late", 50, record_call, const_cast<char *>("late")), 0);
    set_mono(1001);
    tm_scan();
    EXPECT_EQ(g_calls, std::vector<std::string>{"mover"});
    EXPECT_EQ(tm_table()[0].lastsec, 1001u);
    EXPECT_EQ(tm_table()[1].lastsec, 1000u);
}

// Timer callbacks may change the table: a timer removed by an earlier callback of the same scan
// is not called, and one added during the scan is not due in it.
void del_other_timer_cb(void *arg)
{
    record_call(arg);
    tm_del("victim");
    tm_add("added", 1, record_call, const_cast<char *>("added"));
}

TEST_F(Event, TimerCallbackChangesTheTable)
{
    ASSERT_EQ(tm_add("killer", 1, del_other_timer_cb, const_cast<char *>("killer")), 0);
    ASSERT_EQ(tm_add("victim", 1, record_call, const_cast<char *>("victim")), 0);
    FakeClock::advance(1);
    tm_scan();
    EXPECT_EQ(g_calls, std::vector<std::string>{"killer"});
    EXPECT_STREQ(tm_table()[1].name, "added");
    EXPECT_EQ(tm_table()[1].lastsec, 1001u);
}

// ---- descriptor table ----

TEST_F(Event, PollSlotsFillLowestFirstAndRefuseMinusOne)
{
    EXPECT_EQ(poll_add(-1, record_call, nullptr), -1);
    for (int i = 0; i < POLL_SLOTS; i++)
        ASSERT_EQ(poll_add(100 + i, record_call, nullptr), 0) << i;
    EXPECT_EQ(poll_add(200, record_call, nullptr), -1);
    poll_del(105);
    EXPECT_EQ(poll_table()[5].fds, -1);
    EXPECT_EQ(poll_table()[5].func, nullptr);
    poll_del(999);  // not registered: nothing changes
    poll_op_t before[POLL_SLOTS];
    memcpy(before, poll_table(), sizeof before);
    poll_del(999);
    EXPECT_EQ(memcmp(before, poll_table(), sizeof before), 0);
    int arg;
    ASSERT_EQ(poll_add(300, record_call, &arg), 0);
    EXPECT_EQ(poll_table()[5].fds, 300);
    EXPECT_EQ(poll_table()[5].arg, &arg);
    EXPECT_EQ(poll_add(-1, record_call, nullptr), -1);
    poll_del(100);
    EXPECT_EQ(poll_add(-1, record_call, nullptr), -1) << "refused even with a free slot";
    EXPECT_EQ(poll_table()[0].fds, -1);
}

TEST_F(Event, ReadableDescriptorsAreCalledInSlotOrder)
{
    const int a = efd(true), b = efd(false), c = efd(true);
    ASSERT_EQ(poll_add(c, record_call, const_cast<char *>("c")), 0);
    ASSERT_EQ(poll_add(b, record_call, const_cast<char *>("b")), 0);
    ASSERT_EQ(poll_add(a, record_call, const_cast<char *>("a")), 0);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"c", "a"}));
    g_calls.clear();
    make_ready(b);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"c", "b", "a"}));
}

TEST_F(Event, SameDescriptorInTwoSlotsRunsBoth)
{
    const int a = efd(true);
    ASSERT_EQ(poll_add(a, record_call, const_cast<char *>("one")), 0);
    ASSERT_EQ(poll_add(a, record_call, const_cast<char *>("two")), 0);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"one", "two"}));
    poll_del(a);
    g_calls.clear();
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{"two"});
}

// A negative descriptor other than -1 takes a slot but is left out of the poll set, and the
// ready descriptor after it is still matched to its own slot.
TEST_F(Event, OtherNegativeDescriptorIsStoredButNotPolled)
{
    const int a = efd(true);
    ASSERT_EQ(poll_add(-7, record_call, const_cast<char *>("neg")), 0);
    ASSERT_EQ(poll_add(a, record_call, const_cast<char *>("a")), 0);
    EXPECT_EQ(poll_table()[0].fds, -7);
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{"a"});
}

// Hang-up or an invalid descriptor, without POLLIN, calls nothing and does not block the loop.
// An error, hang-up or invalid descriptor reaches the owner: its error handler when it has one,
// else its read handler, which meets the condition itself. Unserved, poll would return at once
// on every pass.
TEST_F(Event, ConditionsWithoutInputReachTheOwner)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fds_.push_back(p[0]);
    close(p[1]);  // read end: hang-up, nothing to read
    int gone[2];
    ASSERT_EQ(pipe(gone), 0);
    close(gone[0]);
    close(gone[1]);  // a closed number: invalid
    ASSERT_EQ(poll_add(p[0], record_call, const_cast<char *>("hup")), 0);
    ASSERT_EQ(poll_add(gone[0], record_call, const_cast<char *>("nval")), 0);
    poll_set_error(gone[0], [](void *) { g_calls.push_back("nval error"); });
    const auto t0 = std::chrono::steady_clock::now();
    poll_once(3000);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(g_calls, (std::vector<std::string>{"hup", "nval error"}));
    EXPECT_LT(waited, std::chrono::milliseconds(1500)) << "poll should report the conditions at once";
    poll_del(gone[0]);
    // A slot given to a new descriptor has no error handler until one is set.
    ASSERT_EQ(poll_add(gone[0], record_call, const_cast<char *>("again")), 0);
    g_calls.clear();
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"hup", "again"}));
    poll_del(gone[0]);
}

// Timers and the loop's proof of life follow the monotonic clock: a setting of the wall clock
// an hour back or forward changes neither when nor how often they are called.
TEST_F(Event, WallClockStepsMoveNeitherTimersNorProofOfLife)
{
    const std::vector<std::string> one{"p1", "alive"}, two{"p1", "p2", "alive"};
    for (const int64_t step : {int64_t{-3600}, int64_t{3600}}) {
        SCOPED_TRACE(step);
        tm_init();
        cap.take();
        ASSERT_EQ(tm_add("p1", 1, record_call, const_cast<char *>("p1")), 0);
        ASSERT_EQ(tm_add("p2", 2, record_call, const_cast<char *>("p2")), 0);
        poll_set_alive(record_call, const_cast<char *>("alive"));
        poll_once(0);  // the first pass counts as a second of life
        poll_once(0);  // the same second: once only
        EXPECT_EQ(g_calls, std::vector<std::string>{"alive"});
        g_calls.clear();
        FakeClock::step_wall(step);
        for (int i = 1; i <= 4; i++) {
            FakeClock::advance(1);
            poll_once(0);
            EXPECT_EQ(g_calls, i % 2 == 1 ? one : two) << "second " << i;
            g_calls.clear();
        }
    }
    tm_init();
    cap.take();
    poll_set_alive(nullptr, nullptr);
    FakeClock::advance(1);
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{});
}

// A callback that removes another descriptor which is ready later in the same pass: that slot is
// found empty and not called, in this pass or later.
struct DelOther {
    int victim;
};
void del_other_fd_cb(void *arg)
{
    g_calls.push_back("killer");
    poll_del(static_cast<DelOther *>(arg)->victim);
}

TEST_F(Event, CallbackRemovingALaterReadyDescriptorPreventsItsCall)
{
    const int k = efd(true), v = efd(true), w = efd(true);
    DelOther d{v};
    ASSERT_EQ(poll_add(k, del_other_fd_cb, &d), 0);
    ASSERT_EQ(poll_add(v, record_call, const_cast<char *>("victim")), 0);
    ASSERT_EQ(poll_add(w, record_call, const_cast<char *>("witness")), 0);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"killer", "witness"}));
    EXPECT_EQ(poll_table()[1].fds, -1);
}

// The removed slot refilled with another descriptor within the same pass: the old callback must
// not run (whether the new one runs in that pass is open).
struct Replace {
    int victim;
    int fresh;
};
void replace_other_fd_cb(void *arg)
{
    auto *r = static_cast<Replace *>(arg);
    g_calls.push_back("killer");
    poll_del(r->victim);
    poll_add(r->fresh, record_call, const_cast<char *>("fresh"));
}

TEST_F(Event, CallbackRefillingALaterSlotNeverCallsTheOldCallback)
{
    const int k = efd(true), v = efd(true), f = efd(true);
    Replace r{v, f};
    ASSERT_EQ(poll_add(k, replace_other_fd_cb, &r), 0);
    ASSERT_EQ(poll_add(v, record_call, const_cast<char *>("victim")), 0);
    poll_once(0);
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls[0], "killer");
    for (const std::string &c : g_calls)
        EXPECT_NE(c, "victim");
    EXPECT_EQ(poll_table()[1].fds, f);
}

// The socket re-open pattern: a callback removes its own descriptor and registers a new one,
// which takes the old slot and is polled from the next iteration on.
struct Reopen {
    int old_fd;
    int new_fd;
    int calls;
};
void reopen_cb(void *arg)
{
    auto *r = static_cast<Reopen *>(arg);
    g_calls.push_back("reopen");
    r->calls++;
    poll_del(r->old_fd);
    poll_add(r->new_fd, record_call, const_cast<char *>("new"));
}

TEST_F(Event, CallbackReplacingItsOwnDescriptor)
{
    const int before = efd(false), old_fd = efd(true), new_fd = efd(true);
    Reopen r{old_fd, new_fd, 0};
    ASSERT_EQ(poll_add(before, record_call, const_cast<char *>("before")), 0);
    ASSERT_EQ(poll_add(old_fd, reopen_cb, &r), 0);
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{"reopen"});
    EXPECT_EQ(poll_table()[1].fds, new_fd);
    g_calls.clear();
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{"new"});
}

// A timer callback runs before the poll set is built: a descriptor it registers is polled in the
// same iteration.
struct Reg {
    int fd;
};
void timer_registers_fd_cb(void *arg)
{
    g_calls.push_back("timer");
    poll_add(static_cast<Reg *>(arg)->fd, record_call, const_cast<char *>("fd"));
}

TEST_F(Event, TimerRegistrationIsPolledInTheSameIteration)
{
    Reg reg{efd(true)};
    ASSERT_EQ(tm_add("reg", 1, timer_registers_fd_cb, &reg), 0);
    poll_once(0);
    EXPECT_EQ(g_calls, std::vector<std::string>{});
    FakeClock::advance(1);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"timer", "fd"}));
}

TEST_F(Event, WithNoDescriptorNothingWaits)
{
    ASSERT_EQ(tm_add("t", 1, record_call, const_cast<char *>("t")), 0);
    FakeClock::advance(1);
    const auto t0 = std::chrono::steady_clock::now();
    poll_once(3000);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(g_calls, std::vector<std::string>{"t"});
}

// A finished child is reaped without waiting, at most one per second of the clock: the first
// iteration of a second reaps one, later iterations of the same second none.
TEST_F(Event, ReapsAtMostOneChildPerSecond)
{
    pid_t kids[2];
    for (pid_t &k : kids) {
        k = fork();
        ASSERT_GE(k, 0);
        if (k == 0)
            _exit(0);
    }
    // Wait (bounded) until both are zombies, without reaping them.
    for (pid_t k : kids) {
        siginfo_t si{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(k), &si, WEXITED | WNOWAIT), 0);
    }
    auto zombies = [&] {
        int n = 0;
        for (pid_t k : kids) {
            siginfo_t si{};
            n += waitid(P_PID, static_cast<id_t>(k), &si, WEXITED | WNOWAIT | WNOHANG) == 0 && si.si_pid == k;
        }
        return n;
    };
    poll_once(0);
    EXPECT_EQ(zombies(), 1) << "the first iteration reaps one of the two";
    poll_once(0);
    poll_once(0);
    EXPECT_EQ(zombies(), 1) << "no second reaping within the same second";
    FakeClock::advance(1);
    poll_once(0);
    EXPECT_EQ(zombies(), 0) << "the next second reaps the other";
}

// A child whose owner waits for its status (poll_keep_child) is left to it, over any number of
// seconds; once let go it is reaped like any other.
TEST_F(Event, LeavesTheKeptChildToItsOwner)
{
    const pid_t k = fork();
    ASSERT_GE(k, 0);
    if (k == 0)
        _exit(3);
    siginfo_t si{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(k), &si, WEXITED | WNOWAIT), 0);
    auto zombie = [&] {
        siginfo_t z{};
        return waitid(P_PID, static_cast<id_t>(k), &z, WEXITED | WNOWAIT | WNOHANG) == 0 && z.si_pid == k;
    };
    poll_keep_child(k);
    for (int i = 0; i < 3; i++) {
        FakeClock::advance(1);
        poll_once(0);
    }
    EXPECT_TRUE(zombie()) << "the kept child is not reaped";
    poll_keep_child(-1);
    FakeClock::advance(1);
    poll_once(0);
    EXPECT_FALSE(zombie()) << "let go, it is reaped";
}

// The poll set is kept between iterations; a registration or removal from a descriptor callback
// is polled from the next iteration on, and one made between iterations at the next.
TEST_F(Event, PollSetFollowsTableChangesBetweenIterations)
{
    const int a = efd(true), b = efd(true);
    ASSERT_EQ(poll_add(a, record_call, const_cast<char *>("a")), 0);
    poll_once(0);
    ASSERT_EQ(poll_add(b, record_call, const_cast<char *>("b")), 0);
    poll_once(0);
    poll_del(a);
    poll_once(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a", "a", "b", "b"}));
}

// ---- the loop and the quit flag ----

void quit_cb(void *arg)
{
    record_call(arg);
    FakeClock::advance(10);  // any further scan would call the timer again
    os_quit = 1;
}

TEST_F(Event, LoopFinishesItsIterationAfterQuitAndScansNoMore)
{
    const int a = efd(true), b = efd(true);
    ASSERT_EQ(tm_add("tick", 1, record_call, const_cast<char *>("tick")), 0);
    ASSERT_EQ(poll_add(a, quit_cb, const_cast<char *>("quit")), 0);
    ASSERT_EQ(poll_add(b, record_call, const_cast<char *>("after")), 0);
    FakeClock::advance(1);
    alarm(20);  // a loop that never ends kills the test instead of hanging it
    poll_loop();
    alarm(0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"tick", "quit", "after"}));
}

TEST_F(Event, LoopReturnsAtOnceWhenQuitIsAlreadySet)
{
    ASSERT_EQ(tm_add("tick", 1, record_call, const_cast<char *>("tick")), 0);
    FakeClock::advance(1);
    os_quit = 1;
    poll_loop();
    EXPECT_EQ(g_calls, std::vector<std::string>{});
}

// The real exit handler, delivered to the loop's thread while poll waits, ends the loop well
// before another full poll timeout, with its log line.
TEST_F(Event, ExitSignalEndsTheWaitingLoop)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = signals_handle_exit;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);

    const int idle = efd(false);
    ASSERT_EQ(poll_add(idle, record_call, const_cast<char *>("idle")), 0);
    std::atomic<bool> done{false};
    std::thread loop([&] {
        poll_loop();
        done = true;
    });
    usleep(200000);  // let it reach poll
    EXPECT_FALSE(done.load());
    const auto t0 = std::chrono::steady_clock::now();
    pthread_kill(loop.native_handle(), SIGUSR2);
    for (int i = 0; i < 300 && !done.load(); i++)
        usleep(10000);
    const auto waited = std::chrono::steady_clock::now() - t0;
    if (!done.load()) {
        os_quit = 1;  // unblock the thread before failing, so the test can end
        loop.join();
        FAIL() << "loop did not end within 3 s of the signal";
    }
    loop.join();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_LT(waited, std::chrono::milliseconds(900)) << "the interrupted poll should end the iteration";
    EXPECT_EQ(os_quit.load(), 1);
    EXPECT_EQ(cap.take(), Lines{"received signo 12, start to exit"});
    EXPECT_EQ(g_calls, std::vector<std::string>{});
}

}  // namespace

// The callbacks of one wake-up share the second at which poll() returned, even when the clock
// moves while they run; outside a callback the clock is read.
TEST_F(Event, CallbacksOfOneWakeUpShareItsSecond)
{
    static std::vector<uint64_t> seen;
    seen.clear();
    auto cb = [](void *) {
        seen.push_back(poll_monosec());
        FakeClock::advance(3);  // a slow callback
    };
    ASSERT_EQ(poll_add(efd(true), cb, nullptr), 0);
    ASSERT_EQ(poll_add(efd(true), cb, nullptr), 0);
    poll_once(0);
    EXPECT_EQ(seen, (std::vector<uint64_t>{1000, 1000}));
    EXPECT_EQ(poll_monosec(), 1006u);
    poll_once(0);
    EXPECT_EQ(seen, (std::vector<uint64_t>{1000, 1000, 1006, 1006}));
}
