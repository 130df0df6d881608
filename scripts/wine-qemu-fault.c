/* Preloaded into Wine's 32-bit processes by scripts/test-windows-emulated.sh. qemu-user
 * hands a guest's SIGSEGV handler a signal frame whose trap number is -1, where the kernel
 * writes 14 for a page fault; Wine reads that number to choose the exception and raises an
 * illegal-instruction exception instead of an access violation. Wine's SIGSEGV handler is
 * wrapped here so that it sees the kernel's numbers: 14 for a fault on an address, 13
 * (general protection) for any other. Built with gcc -m32 -shared -fPIC. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>

typedef void (*segv_handler)(int, siginfo_t*, void*);
static segv_handler wine_handler;

static void with_trap_number(int sig, siginfo_t* info, void* context) {
    ucontext_t* uc = (ucontext_t*)context;
    if (uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
        uc->uc_mcontext.gregs[REG_TRAPNO] =
            (info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR) ? 14 : 13;
    wine_handler(sig, info, context);
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    static int (*next)(int, const struct sigaction*, struct sigaction*);
    if (next == 0)
        next = (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
    if (sig == SIGSEGV && act != 0 && (act->sa_flags & SA_SIGINFO) &&
        act->sa_sigaction != with_trap_number) {
        struct sigaction wrapped = *act;
        wine_handler = act->sa_sigaction;
        wrapped.sa_sigaction = with_trap_number;
        return next(sig, &wrapped, old);
    }
    return next(sig, act, old);
}
