/* An allocator interposer for the running daemon: loaded with LD_PRELOAD, it counts every
 * malloc, calloc, realloc, free, posix_memalign, aligned_alloc, memalign, valloc and pvalloc
 * made while it is armed, and keeps the callers of the first few.
 *
 *   SIGRTMIN+3  arm: start counting (sent once the daemon logged RUNNING)
 *   SIGRTMIN+4  disarm: stop counting, so the shutdown's own frees are not counted
 *
 * At exit it writes to the file named by ALLOC_COUNT_FILE:
 *   total N     (every allocation since the process started)
 *   allocs N    (while armed)
 *   frees N     (while armed)
 *   then, for each of the first recorded calls, "call <what> <size>" followed by its callers as
 *   backtrace_symbols_fd prints them (binary(+offset) lines that addr2line turns into names).
 *
 * The real allocator is glibc's own __libc_* entry points, so no dlsym (which allocates) is
 * needed to find it. Nothing here allocates: the record is static and the report is written
 * with write(2).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);
extern void *__libc_valloc(size_t);
extern void *__libc_pvalloc(size_t);

enum { KEEP_CALLS = 8, KEEP_FRAMES = 12 };

struct call_rec {
    const char *what;
    size_t size;
    int nframes;
    void *frames[KEEP_FRAMES];
};

static atomic_int s_armed;
static atomic_ulong s_total;  /* armed or not: proves the interposer sat under the process */
static atomic_ulong s_allocs;
static atomic_ulong s_frees;
static atomic_int s_kept;
static struct call_rec s_calls[KEEP_CALLS];
/* backtrace() itself may allocate (it loads the unwinder the first time): never record a call
 * made from inside the recorder. Initial-exec TLS needs no allocation of its own. */
static __thread int t_busy __attribute__((tls_model("initial-exec")));

static void record(const char *what, size_t size)
{
    atomic_fetch_add_explicit(&s_total, 1, memory_order_relaxed);
    if (atomic_load_explicit(&s_armed, memory_order_relaxed) == 0 || t_busy)
        return;
    atomic_fetch_add(&s_allocs, 1);
    int slot = atomic_fetch_add(&s_kept, 1);
    if (slot >= KEEP_CALLS)
        return;
    t_busy = 1;
    s_calls[slot].what = what;
    s_calls[slot].size = size;
    s_calls[slot].nframes = backtrace(s_calls[slot].frames, KEEP_FRAMES);
    t_busy = 0;
}

void *malloc(size_t n)
{
    record("malloc", n);
    return __libc_malloc(n);
}

void *calloc(size_t a, size_t b)
{
    record("calloc", a * b);
    return __libc_calloc(a, b);
}

void *realloc(void *p, size_t n)
{
    record("realloc", n);
    return __libc_realloc(p, n);
}

void free(void *p)
{
    if (p != NULL && atomic_load_explicit(&s_armed, memory_order_relaxed) != 0 && !t_busy)
        atomic_fetch_add(&s_frees, 1);
    __libc_free(p);
}

void *memalign(size_t align, size_t n)
{
    record("memalign", n);
    return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n)
{
    record("aligned_alloc", n);
    return __libc_memalign(align, n);
}

int posix_memalign(void **out, size_t align, size_t n)
{
    record("posix_memalign", n);
    if (align < sizeof(void *) || (align & (align - 1)) != 0)
        return EINVAL;
    void *p = __libc_memalign(align, n);
    if (p == NULL)
        return ENOMEM;
    *out = p;
    return 0;
}

void *valloc(size_t n)
{
    record("valloc", n);
    return __libc_valloc(n);
}

void *pvalloc(size_t n)
{
    record("pvalloc", n);
    return __libc_pvalloc(n);
}

static void on_arm(int sig)
{
    atomic_store(&s_armed, sig == SIGRTMIN + 3 ? 1 : 0);
}

static void put(int fd, const char *s)
{
    size_t n = strlen(s);
    while (n > 0) {
        ssize_t w = write(fd, s, n);
        if (w <= 0)
            return;
        s += w;
        n -= (size_t)w;
    }
}

static void put_num(int fd, unsigned long v)
{
    char buf[24];
    int i = (int)sizeof buf;
    buf[--i] = '\0';
    do {
        buf[--i] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    put(fd, buf + i);
}

__attribute__((constructor)) static void alloc_count_init(void)
{
    /* Loads the unwinder now, while allocating is still allowed and nothing is counted. */
    void *warm[2];
    t_busy = 1;
    (void)backtrace(warm, 2);
    t_busy = 0;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_arm;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGRTMIN + 3, &sa, NULL);
    sigaction(SIGRTMIN + 4, &sa, NULL);
}

__attribute__((destructor)) static void alloc_count_report(void)
{
    const char *path = getenv("ALLOC_COUNT_FILE");
    if (path == NULL || path[0] == '\0')
        return;
    atomic_store(&s_armed, 0);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    put(fd, "total ");
    put_num(fd, atomic_load(&s_total));
    put(fd, "\nallocs ");
    put_num(fd, atomic_load(&s_allocs));
    put(fd, "\nfrees ");
    put_num(fd, atomic_load(&s_frees));
    put(fd, "\n");
    int kept = atomic_load(&s_kept);
    if (kept > KEEP_CALLS)
        kept = KEEP_CALLS;
    for (int i = 0; i < kept; i++) {
        put(fd, "call ");
        put(fd, s_calls[i].what);
        put(fd, " ");
        put_num(fd, (unsigned long)s_calls[i].size);
        put(fd, "\n");
        backtrace_symbols_fd(s_calls[i].frames, s_calls[i].nframes, fd);
    }
    close(fd);
}
