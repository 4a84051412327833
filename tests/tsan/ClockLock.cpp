// ThreadSanitizer's runtimes (clang 14's and GCC 12's) do not intercept
// pthread_mutex_clocklock, through which libstdc++ makes the timed waits of a
// std::timed_mutex: a lock taken that way is unseen, and its unlock is
// reported as the unlock of a free mutex. In the ThreadSanitizer build of the
// Python extension (the one user of a timed mutex) this definition takes the
// C library's place, through pthread_mutex_timedlock, which the runtimes do
// intercept. The deadline on the clock asked for becomes one on the real-time
// clock, the same distance away.
#include <pthread.h>
#include <time.h>

#include <cstdint>

extern "C" __attribute__((visibility("hidden"))) int
pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
    timespec now{}, real{};
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &real);
    constexpr int64_t kNano = 1000000000;
    int64_t left =
        (static_cast<int64_t>(deadline->tv_sec) - now.tv_sec) * kNano + (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    const int64_t at = static_cast<int64_t>(real.tv_sec) * kNano + real.tv_nsec + left;
    timespec until{};
    until.tv_sec = static_cast<time_t>(at / kNano);
    until.tv_nsec = static_cast<long>(at % kNano);
    return pthread_mutex_timedlock(mutex, &until);
}
