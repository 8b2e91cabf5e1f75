/* LD_PRELOAD shim of the benchmark: counts every heap allocation of the process it is loaded
 * into in an 8-byte counter mapped from the file named by BENCH_ALLOC_FILE, so the benchmark can
 * read the count from outside while the daemon runs (od -An -tu8 -N8 FILE). What the allocator
 * does is not changed. Plain C, so that preloading it maps no C++ runtime into the daemon. */
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t m);
void *__libc_realloc(void *p, size_t n);
void *__libc_memalign(size_t align, size_t n);

static uint64_t *s_count;

static void bump(void)
{
    if (s_count != NULL)
        __atomic_add_fetch(s_count, 1, __ATOMIC_RELAXED);
}

/* getenv, open and mmap allocate nothing, so the counter can be set up before main. */
__attribute__((constructor)) static void alloc_count_init(void)
{
    const char *path = getenv("BENCH_ALLOC_FILE");
    if (path == NULL)
        return;
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (ftruncate(fd, sizeof(uint64_t)) == 0) {
        void *m = mmap(NULL, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED)
            s_count = (uint64_t *)m;
    }
    close(fd);
}

void *malloc(size_t n)
{
    bump();
    return __libc_malloc(n);
}

void *calloc(size_t n, size_t m)
{
    bump();
    return __libc_calloc(n, m);
}

void *realloc(void *p, size_t n)
{
    bump();
    return __libc_realloc(p, n);
}

void *memalign(size_t align, size_t n)
{
    bump();
    return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n)
{
    bump();
    return __libc_memalign(align, n);
}

int posix_memalign(void **out, size_t align, size_t n)
{
    bump();
    void *p = __libc_memalign(align, n);
    if (p == NULL)
        return 12; /* ENOMEM */
    *out = p;
    return 0;
}
