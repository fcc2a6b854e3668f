/* qemu_wine_shim.c: preloaded into 32-bit Wine processes that run under
 * qemu-i386 user-mode emulation (QEMU 7.2), where the kernel refuses 32-bit
 * code. It bridges the places where that QEMU differs from a kernel:
 *
 *  - mmap(MAP_FIXED_NOREPLACE) is not honoured: the flag is taken as a hint
 *    and a mapping that lands elsewhere is undone and fails with EEXIST, as
 *    the kernel's would.
 *  - The thread-storage slots of the global descriptor table are one table
 *    per process, not per thread, so a thread that reloads %fs or %gs gets
 *    the newest thread's base. set_thread_area(entry -1) is refused, which
 *    sends Wine to its one-LDT-entry-per-thread path for %fs, and %gs (the C
 *    library's thread storage) is moved to an LDT entry of each thread's own.
 *  - SIGSEGV arrives with trap number -1; Wine's handler is wrapped so a
 *    fault reads as a page fault (14), or 13 for SI_KERNEL faults.
 *
 * Built without a 32-bit C library: raw system calls, and the few C library
 * functions it needs are found when the library is loaded. */

typedef unsigned int u32;
typedef unsigned long long u64;
typedef u32 size_t;

#define EXPORT __attribute__((visibility("default")))
#define HIDDEN __attribute__((visibility("hidden")))

/* i386 system call numbers and constants */
#define NR_munmap 91
#define NR_modify_ldt 123
#define NR_mmap2 192
#define NR_set_thread_area 243

#define MAP_FIXED 0x10
#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)
#define EEXIST 17
#define EINVAL 22
#define EAGAIN 11
#define ENOSYS 38
#define PAGE_SHIFT 12

#define SIGSEGV 11
#define SA_SIGINFO 4
#define SI_KERNEL 0x80
#define REG_TRAPNO 12
#define TRAP_PAGE_FAULT 14
#define TRAP_PROTECTION 13

#define LDT_ENTRIES 8192
#define LDT_FLOOR 4096 /* Wine hands out its own LDT entries from 32 upwards */
#define SIG_SETMASK 2

struct user_desc {
    u32 entry_number;
    u32 base_addr;
    u32 limit;
    u32 flags; /* seg_32bit:1 contents:2 read_exec_only:1 limit_in_pages:1
                  seg_not_present:1 useable:1 */
};
#define DESC_SEG_32BIT 0x01
#define DESC_LIMIT_IN_PAGES 0x10
#define DESC_USEABLE 0x40

typedef struct {
    u32 bits[32];
} sigset_t; /* the C library's 1024-bit set */

struct sigaction {
    void (*handler)(int, void *, void *);
    sigset_t mask;
    int flags;
    void (*restorer)(void);
};

typedef struct {
    int signo;
    int err;
    int code;
} siginfo_head;

/* ucontext_t: uc_flags, uc_link, uc_stack (3 words), then the registers */
#define UCONTEXT_GREGS_OFFSET 20

/* The C library's functions, bound when the library is loaded. */
extern int *__errno_location(void);
extern void *malloc(size_t);
extern void free(void *);
extern int pthread_sigmask(int, const sigset_t *, sigset_t *);
extern int unsetenv(const char *);
extern void *dlsym(void *, const char *);
extern void *dlvsym(void *, const char *, const char *);
#define RTLD_NEXT ((void *)-1)

/* raw_syscall6(nr, a1..a6): the kernel's return value, -errno on failure */
HIDDEN long raw_syscall6(long nr, long a1, long a2, long a3, long a4, long a5, long a6);
__asm__(".text\n"
        ".hidden raw_syscall6\n"
        ".type raw_syscall6,@function\n"
        "raw_syscall6:\n"
        "  push %ebp\n  push %edi\n  push %esi\n  push %ebx\n"
        "  mov 20(%esp),%eax\n  mov 24(%esp),%ebx\n  mov 28(%esp),%ecx\n"
        "  mov 32(%esp),%edx\n  mov 36(%esp),%esi\n  mov 40(%esp),%edi\n"
        "  mov 44(%esp),%ebp\n"
        "  int $0x80\n"
        "  pop %ebx\n  pop %esi\n  pop %edi\n  pop %ebp\n"
        "  ret\n"
        ".size raw_syscall6,.-raw_syscall6\n");

static long sys_result(long r)
{
    if ((unsigned long)r > (unsigned long)-4096) {
        *__errno_location() = (int)-r;
        return -1;
    }
    return r;
}

/* ---- address reservations ---------------------------------------------- */

static void *map_pages(void *addr, size_t len, int prot, int flags, int fd, u32 pgoff)
{
    int noreplace = (flags & MAP_FIXED_NOREPLACE) && !(flags & MAP_FIXED);
    if (noreplace) flags &= ~MAP_FIXED_NOREPLACE;
    long r = raw_syscall6(NR_mmap2, (long)addr, (long)len, prot, flags, fd, (long)pgoff);
    if ((unsigned long)r > (unsigned long)-4096) {
        *__errno_location() = (int)-r;
        return MAP_FAILED;
    }
    if (noreplace && (void *)r != addr) {
        /* the range was taken: undo the mapping QEMU placed elsewhere */
        raw_syscall6(NR_munmap, r, (long)len, 0, 0, 0, 0);
        *__errno_location() = EEXIST;
        return MAP_FAILED;
    }
    return (void *)r;
}

EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, u64 off)
{
    if (off & ((1u << PAGE_SHIFT) - 1) || (off >> PAGE_SHIFT) > 0xffffffffull) {
        *__errno_location() = EINVAL;
        return MAP_FAILED;
    }
    return map_pages(addr, len, prot, flags, fd, (u32)(off >> PAGE_SHIFT));
}

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, long off)
{
    if (off & ((1 << PAGE_SHIFT) - 1)) {
        *__errno_location() = EINVAL;
        return MAP_FAILED;
    }
    return map_pages(addr, len, prot, flags, fd, (u32)off >> PAGE_SHIFT);
}

/* ---- thread storage ------------------------------------------------------ */

/* syscall(): refuse set_thread_area(entry -1) so Wine keeps %fs in the LDT */
EXPORT long syscall(long nr, long a1, long a2, long a3, long a4, long a5, long a6)
{
    if (nr == NR_set_thread_area && a1 && ((struct user_desc *)a1)->entry_number == (u32)-1) {
        *__errno_location() = ENOSYS;
        return -1;
    }
    return sys_result(raw_syscall6(nr, a1, a2, a3, a4, a5, a6));
}

static unsigned short get_gs(void)
{
    unsigned short sel;
    __asm__ volatile("movw %%gs,%0" : "=r"(sel));
    return sel;
}

static void set_gs(unsigned short sel)
{
    __asm__ volatile("movw %0,%%gs" ::"r"(sel) : "memory");
}

static u32 thread_base(void)
{
    u32 base; /* the C library's thread block starts with a pointer to itself */
    __asm__ volatile("movl %%gs:0,%0" : "=r"(base));
    return base;
}

static void fill_desc(struct user_desc *d, u32 entry, u32 base)
{
    d->entry_number = entry;
    d->base_addr = base;
    d->limit = 0xfffff;
    d->flags = DESC_SEG_32BIT | DESC_LIMIT_IN_PAGES | DESC_USEABLE;
}

static unsigned short gdt_gs_sel; /* the C library's own selector; 0 = bridge off */
static int next_ldt_entry = LDT_ENTRIES;
static int gs_lock;

/* Give the calling thread an LDT entry of its own for %gs. Entries are not
 * reused: Wine's processes are short-lived and thousands are available. */
static int move_gs_to_ldt(void)
{
    int entry = __atomic_sub_fetch(&next_ldt_entry, 1, __ATOMIC_RELAXED);
    if (entry < LDT_FLOOR) return -1; /* stay on the shared slot */
    struct user_desc d;
    fill_desc(&d, (u32)entry, thread_base());
    if (raw_syscall6(NR_modify_ldt, 0x11, (long)&d, sizeof d, 0, 0, 0) != 0) return -1;
    set_gs((unsigned short)((entry << 3) | 7));
    return 0;
}

__attribute__((constructor)) static void shim_init(void)
{
    /* 64-bit programs that Wine starts (wineserver) must not see this library */
    unsetenv("LD_PRELOAD");
    unsigned short sel = get_gs();
    if (sel & 4) return;   /* already in the LDT: nothing to bridge */
    /* The first LDT write also creates the table every later thread inherits,
       so it must happen here, while the process has one thread. */
    if (move_gs_to_ldt() == 0) gdt_gs_sel = sel;
}

typedef int (*pthread_create_fn)(void *, const void *, void *(*)(void *), void *);

struct thread_start {
    void *(*routine)(void *);
    void *arg;
    sigset_t mask;
};

static void *thread_trampoline(void *p)
{
    struct thread_start start = *(struct thread_start *)p;
    free(p);
    move_gs_to_ldt(); /* signals stay blocked until %gs is the thread's own */
    pthread_sigmask(SIG_SETMASK, &start.mask, 0);
    return start.routine(start.arg);
}

static pthread_create_fn real_pthread_create(void)
{
    static pthread_create_fn fn;
    if (!fn) {
        fn = (pthread_create_fn)dlvsym(RTLD_NEXT, "pthread_create", "GLIBC_2.34");
        if (!fn) fn = (pthread_create_fn)dlvsym(RTLD_NEXT, "pthread_create", "GLIBC_2.1");
        if (!fn) fn = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    }
    return fn;
}

EXPORT int pthread_create(void *thread, const void *attr, void *(*routine)(void *), void *arg)
{
    pthread_create_fn create = real_pthread_create();
    if (!create) return EAGAIN;
    unsigned short own = get_gs();
    if (!gdt_gs_sel || !(own & 4)) return create(thread, attr, routine, arg);

    struct thread_start *start = malloc(sizeof *start);
    if (!start) return EAGAIN;
    start->routine = routine;
    start->arg = arg;
    sigset_t all;
    for (int i = 0; i < 32; i++) all.bits[i] = ~0u;
    pthread_sigmask(SIG_SETMASK, &all, &start->mask);

    while (__atomic_exchange_n(&gs_lock, 1, __ATOMIC_ACQUIRE)) __asm__ volatile("pause");
    /* The C library builds the new thread's slot from the caller's %gs
       selector: point the shared slot at this thread and switch to it while
       the thread is created, then back to this thread's own entry. */
    struct user_desc d;
    fill_desc(&d, (u32)(gdt_gs_sel >> 3), thread_base());
    raw_syscall6(NR_set_thread_area, (long)&d, 0, 0, 0, 0, 0);
    set_gs(gdt_gs_sel);
    int rc = create(thread, attr, thread_trampoline, start);
    set_gs(own);
    __atomic_store_n(&gs_lock, 0, __ATOMIC_RELEASE);

    sigset_t restore = start->mask; /* start belongs to the new thread now */
    if (rc) free(start);
    pthread_sigmask(SIG_SETMASK, &restore, 0);
    return rc;
}

/* ---- page faults --------------------------------------------------------- */

typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
typedef void (*siginfo_handler)(int, void *, void *);

static siginfo_handler wrapped_segv;

static void segv_trampoline(int sig, void *info, void *context)
{
    int *trapno = (int *)((char *)context + UCONTEXT_GREGS_OFFSET) + REG_TRAPNO;
    int code = ((siginfo_head *)info)->code;
    if (*trapno == -1 && code > 0) *trapno = code == SI_KERNEL ? TRAP_PROTECTION : TRAP_PAGE_FAULT;
    __atomic_load_n(&wrapped_segv, __ATOMIC_ACQUIRE)(sig, info, context);
}

EXPORT int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    static sigaction_fn real;
    if (!real) real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (!real) {
        *__errno_location() = ENOSYS;
        return -1;
    }
    if (sig != SIGSEGV) return real(sig, act, old);

    siginfo_handler previous = __atomic_load_n(&wrapped_segv, __ATOMIC_ACQUIRE);
    struct sigaction copy;
    if (act && (act->flags & SA_SIGINFO) && (unsigned long)act->handler > 1) {
        copy = *act;
        __atomic_store_n(&wrapped_segv, act->handler, __ATOMIC_RELEASE);
        copy.handler = segv_trampoline;
        act = &copy;
    }
    int rc = real(sig, act, old);
    if (rc == 0 && old && old->handler == segv_trampoline) old->handler = previous;
    return rc;
}
