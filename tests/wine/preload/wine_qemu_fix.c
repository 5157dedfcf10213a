/*
 * Preloaded into Wine's 32-bit processes when they run under qemu's user-mode
 * emulator (qemu 7.2, as Debian 12 ships it), on machines that cannot execute
 * 32-bit x86 code natively. It mends two differences between qemu and the
 * Linux kernel that Wine depends on:
 *
 * 1. mmap with MAP_FIXED_NOREPLACE: the kernel fails with EEXIST when the
 *    range is taken; qemu 7.2 does not know the flag and maps elsewhere.
 *    Wine's start-up reserves the Windows address space with such calls and
 *    keeps whatever lands above 2 GiB, so it then crawls through the upper
 *    half of the address space in 64 KiB steps, for minutes per process.
 *    Here a mapping at another address is undone and EEXIST returned.
 *
 * 2. The trap number in a signal frame: the kernel stores the CPU exception
 *    (14 for a page fault, ...); qemu 7.2 stores -1. Wine's fault handler
 *    decides by that number, so every page fault (a stack guard page, a
 *    write to a copy-on-write section) became an "illegal instruction".
 *    Here the handlers Wine installs for fault signals are wrapped, and a
 *    trap number of -1 is replaced by the one the kernel would have given.
 *
 * On a kernel neither case arises (the flag is honoured, trap numbers are
 * never -1), so the library changes nothing there.
 *
 * Built with -m32 -ffreestanding and no C library headers, so that it needs
 * no 32-bit development packages: the few libc functions it calls are
 * resolved by the dynamic linker at run time.
 */

typedef unsigned int size_t_32;

extern long syscall(long number, ...);
extern int munmap(void *addr, size_t_32 len);
extern int *__errno_location(void);
extern void *dlsym(void *handle, const char *name);

#define FIX_RTLD_NEXT ((void *)-1l)
#define FIX_MAP_FIXED 0x10
#define FIX_MAP_FIXED_NOREPLACE 0x100000
#define FIX_EEXIST 17
#define FIX_EINVAL 22
#define FIX_SYS_MMAP2 192
#define FIX_MAP_FAILED ((void *)-1)

void *mmap64(void *addr, size_t_32 len, int prot, int flags, int fd, long long offset)
{
    if (offset & 0xfff) {
        *__errno_location() = FIX_EINVAL;
        return FIX_MAP_FAILED;
    }
    long got = syscall(FIX_SYS_MMAP2, addr, len, prot, flags, fd, (unsigned long)(offset >> 12));
    if (got == -1) return FIX_MAP_FAILED;
    if ((flags & FIX_MAP_FIXED_NOREPLACE) && !(flags & FIX_MAP_FIXED) && (void *)got != addr) {
        munmap((void *)got, len);
        *__errno_location() = FIX_EEXIST;
        return FIX_MAP_FAILED;
    }
    return (void *)got;
}

void *mmap(void *addr, size_t_32 len, int prot, int flags, int fd, long offset)
{
    return mmap64(addr, len, prot, flags, fd, offset);
}

/* The i386 layouts of siginfo_t (its head), struct sigaction as the C
 * library takes it, and ucontext_t (general registers start at byte 20). */
struct fix_siginfo_head { int signo, err, code; };
struct fix_sigaction { void *handler; unsigned long mask[32]; int flags; void *restorer; };
typedef void (*fix_info_handler)(int, struct fix_siginfo_head *, void *);

#define FIX_SA_SIGINFO 4
#define FIX_NSIG 65
#define FIX_SI_KERNEL 0x80
#define FIX_GREGS_OFFSET 20
#define FIX_REG_TRAPNO 12
#define FIX_NO_TRAP 0xffffffffu

static fix_info_handler wrapped_handlers[FIX_NSIG];

static int is_fault_signal(int sig)
{
    return sig == 4 || sig == 5 || sig == 7 || sig == 8 || sig == 11; /* ILL TRAP BUS FPE SEGV */
}

/* The exception number the kernel reports for a signal raised by a CPU fault. */
static unsigned trap_for(int sig, int code)
{
    switch (sig) {
    case 11: return code == FIX_SI_KERNEL ? 13 : 14;  /* protection fault, page fault */
    case 4: return 6;                                   /* invalid opcode */
    case 7: return 17;                                  /* alignment check */
    case 5: return code == FIX_SI_KERNEL ? 3 : 1;       /* int3, debug trap */
    case 8: return code == 1 ? 0 : code == 2 ? 4 : 16;  /* divide, overflow, x87 */
    }
    return FIX_NO_TRAP;
}

static void fixing_handler(int sig, struct fix_siginfo_head *info, void *context)
{
    unsigned *gregs = (unsigned *)((char *)context + FIX_GREGS_OFFSET);
    if (gregs[FIX_REG_TRAPNO] == FIX_NO_TRAP) gregs[FIX_REG_TRAPNO] = trap_for(sig, info->code);
    wrapped_handlers[sig](sig, info, context);
}

int sigaction(int sig, const struct fix_sigaction *act, struct fix_sigaction *old)
{
    typedef int (*real_fn)(int, const struct fix_sigaction *, struct fix_sigaction *);
    static real_fn real;
    if (!real) real = (real_fn)dlsym(FIX_RTLD_NEXT, "sigaction");

    int in_range = sig > 0 && sig < FIX_NSIG;
    fix_info_handler previous = in_range ? wrapped_handlers[sig] : 0;
    int result;
    if (in_range && is_fault_signal(sig) && act && (act->flags & FIX_SA_SIGINFO) &&
        (unsigned long)act->handler > 1) {
        struct fix_sigaction copy = *act;
        copy.handler = (void *)fixing_handler;
        wrapped_handlers[sig] = (fix_info_handler)act->handler;
        result = real(sig, &copy, old);
    } else {
        result = real(sig, act, old);
    }
    /* Callers see the handler they installed, not the wrapper. */
    if (result == 0 && old && old->handler == (void *)fixing_handler) old->handler = (void *)previous;
    return result;
}
