/* segment_check.c: a 32-bit Windows program run by emulated Wine to check what
 * qemu_wine_shim.c bridges (scripts/test_windows builds it with mingw-w64).
 *
 *  - Thread storage: two threads each note the block behind %fs (the thread's
 *    TEB, which points to itself) and behind %gs (the C library's thread block
 *    of the Unix side, which also starts with a pointer to itself). The second
 *    thread starts only after the first has noted its own, which is when QEMU
 *    would hand the first the second's slots. Each then reloads both segment
 *    registers, directly and through a fault's signal return, and must still
 *    see its own blocks, and its own thread-local value.
 *  - Page faults: a read of a guarded page must reach the program as an access
 *    violation at that address, and IsBadReadPtr must report it unreadable.
 *
 * One line per check, then "N passed, N failed". */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

static int passed, failed;

static void check(int ok, const char *what)
{
    printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    ok ? passed++ : failed++;
}

static void *fs_self(void)
{
    void *p;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(p));
    return p;
}

static void *gs_self(void)
{
    void *p;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(p));
    return p;
}

static void reload_segments(void)
{
    __asm__ volatile("movw %%fs, %%ax\n\tmovw %%ax, %%fs\n\t"
                     "movw %%gs, %%ax\n\tmovw %%ax, %%gs" ::: "eax", "memory");
}

static volatile LONG faults;
static volatile ULONG_PTR fault_address;
static volatile DWORD fault_code;
static char *guarded;

static LONG CALLBACK on_fault(EXCEPTION_POINTERS *info)
{
    EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->NumberParameters >= 2 && record->ExceptionInformation[1] == (ULONG_PTR)guarded) {
        fault_code = record->ExceptionCode;
        fault_address = record->ExceptionInformation[1];
        InterlockedIncrement(&faults);
        info->ContextRecord->Eip += 2; /* past "movl (%ecx), %eax" */
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

static void guarded_read(void)
{
    __asm__ volatile("movl %0, %%ecx\n\t.byte 0x8b, 0x01" /* movl (%ecx), %eax */
                     ::"r"(guarded) : "eax", "ecx", "memory");
}

struct worker {
    HANDLE noted, go, done;
    void *fs, *gs;
    int fs_kept, gs_kept, tls_kept;
};

static __thread int own_value;

static DWORD WINAPI worker_main(void *arg)
{
    struct worker *w = arg;
    own_value = (int)(INT_PTR)w;
    w->fs = fs_self();
    w->gs = gs_self();
    SetEvent(w->noted);
    WaitForSingleObject(w->go, INFINITE);
    int kept = 1, gs_kept = 1;
    for (int i = 0; i < 200; i++) {
        reload_segments();
        if (i % 20 == 0) guarded_read(); /* a signal and its return reload them too */
        kept &= fs_self() == w->fs;
        gs_kept &= gs_self() == w->gs;
    }
    w->fs_kept = kept;
    w->gs_kept = gs_kept;
    w->tls_kept = own_value == (int)(INT_PTR)w;
    SetEvent(w->done);
    return 0;
}

int main(void)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY); /* lines end in LF, as the scripts read them */
    guarded = VirtualAlloc(NULL, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    if (!guarded || !AddVectoredExceptionHandler(1, on_fault)) {
        printf("FAIL setting up the guarded page\n0 passed, 1 failed\n");
        return 1;
    }

    guarded_read();
    check(faults == 1 && fault_code == EXCEPTION_ACCESS_VIOLATION && fault_address == (ULONG_PTR)guarded,
          "a read of a guarded page is an access violation at its address");
    check(IsBadReadPtr(guarded, 4) && !IsBadReadPtr(&passed, 4),
          "IsBadReadPtr: the guarded page is unreadable, a variable readable");

    struct worker w[2];
    HANDLE threads[2];
    for (int i = 0; i < 2; i++) {
        w[i].noted = CreateEventA(NULL, TRUE, FALSE, NULL);
        w[i].go = CreateEventA(NULL, TRUE, FALSE, NULL);
        w[i].done = CreateEventA(NULL, TRUE, FALSE, NULL);
        threads[i] = CreateThread(NULL, 0, worker_main, &w[i], 0, NULL);
        WaitForSingleObject(w[i].noted, INFINITE); /* before the next thread starts */
    }
    for (int i = 0; i < 2; i++) SetEvent(w[i].go);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    check(w[0].fs != w[1].fs && w[0].gs != w[1].gs, "the two threads have blocks of their own");
    for (int i = 0; i < 2; i++) {
        char what[128];
        snprintf(what, sizeof what, "thread %d keeps its own %%fs block across reloads and faults", i + 1);
        check(w[i].fs_kept, what);
        snprintf(what, sizeof what, "thread %d keeps its own %%gs block across reloads and faults", i + 1);
        check(w[i].gs_kept, what);
        snprintf(what, sizeof what, "thread %d keeps its thread-local value", i + 1);
        check(w[i].tls_kept, what);
    }
    check(fs_self() != w[0].fs && fs_self() != w[1].fs, "the main thread keeps its own %fs block");
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
