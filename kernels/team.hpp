// Threads that share one kernel call.
//
// Each member calls the kernel with the same arguments and its own index;
// the members meet at a barrier between the steps that read what another
// member wrote.  The caller makes the threads and the barrier: a kernel
// still allocates nothing and cannot fail.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace quiltmap::kernels {

// Waits until every member has arrived, then lets them all go; reusable at
// once.  A member spins for a while, then sleeps until the last one
// arrives: on a machine busier than the team, spinning on would take the
// core from the member it waits for.  Measured on the stereo example's
// aggregation (500 rows, a meeting per row): a spin of about 2 us left the
// shared call no faster than one thread (every meeting paid a wake-up), one
// of about 0.3 ms made it 1.25 times faster; with two busy processes beside
// it the call then takes about 1.2 times a lone thread's time, where
// yielding instead of sleeping made it 25 times slower.
class Barrier {
public:
    explicit Barrier(int members) : members_(members) {}
    Barrier(const Barrier&) = delete;
    Barrier& operator=(const Barrier&) = delete;

    void arrive_and_wait() {
        if (members_ <= 1) return;
        const unsigned generation = generation_.load();
        if (arrived_.fetch_add(1) + 1 == members_) {
            // The count is reset before the others are let go, so that a
            // member that hurries on to the next meeting counts there.
            arrived_.store(0);
            generation_.fetch_add(1);
            if (sleepers_.load() > 0) wake_all(generation_);
            return;
        }
        for (int spins = 0; spins < kSpins; ++spins)
            if (generation_.load() != generation) return;
        // Counted before it sleeps, and the sleep begins only while the
        // generation is still this one: the last member either sees the
        // sleeper or has already moved the generation on (all sequentially
        // consistent).
        sleepers_.fetch_add(1);
        while (generation_.load() == generation) sleep_while(generation_, generation);
        sleepers_.fetch_sub(1);
    }

private:
    static constexpr int kSpins = 300000;  // loads of the generation: about 0.3 ms

#ifdef __linux__
    static void sleep_while(std::atomic<unsigned>& word, unsigned value) {
        syscall(SYS_futex, reinterpret_cast<unsigned*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
    }
    static void wake_all(std::atomic<unsigned>& word) {
        syscall(SYS_futex, reinterpret_cast<unsigned*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
#else
    static void sleep_while(std::atomic<unsigned>&, unsigned) { std::this_thread::yield(); }
    static void wake_all(std::atomic<unsigned>&) {}
#endif

    const int members_;
    std::atomic<int> arrived_{0};
    std::atomic<int> sleepers_{0};
    std::atomic<unsigned> generation_{0};
};

// A count in memory the caller provides, which one member raises and
// another waits for: a pipeline between members with no meeting.  The
// waiting member spins for 10000 pauses (a fraction of a millisecond),
// then sleeps 50 us between looks, so that on a machine busier than the
// team it leaves the core to the member it waits for.  Measured on the
// stereo example's aggregation beside two busy processes: a shared call
// took about a lone thread's time.
inline void publish(std::int64_t* count, std::int64_t value) { __atomic_store_n(count, value, __ATOMIC_RELEASE); }
inline void wait_until_reaches(const std::int64_t* count, std::int64_t value) {
    for (int looks = 0; __atomic_load_n(count, __ATOMIC_ACQUIRE) < value; ++looks) {
        if (looks < 10000) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
}

// One member's part: its index and how many share the call.
struct Team {
    int member = 0;
    int members = 1;
    Barrier* barrier = nullptr;  // may be null for a team of one

    void meet() const {
        if (members > 1) barrier->arrive_and_wait();
    }
};

}  // namespace quiltmap::kernels
