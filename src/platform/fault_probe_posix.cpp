// Fault-safe reads on POSIX systems.
//
// probeRead32 (platform.h) is one load instruction at each place it is used; every such
// place records its load and its recovery point in the section qj_probe_sites. A SIGSEGV
// or SIGBUS handler, installed while the library attaches, looks the faulting instruction
// up there: when it is a probe's load, the handler resumes the thread at that probe's
// recovery point, which answers "unreadable". Every other fault goes to the handler that
// was installed before ours, with that handler's own semantics (SA_SIGINFO or not, its
// signal mask, SA_RESETHAND, SIG_DFL, SIG_IGN). A read that succeeds costs the load: no
// call, no system call.
//
// A host that installs its own SIGSEGV or SIGBUS handler later would displace ours. The
// shared library's sigaction and signal (loader_entry_posix.cpp) record such a handler as
// the one faults are passed to and leave ours in place; see chainedSigaction.
#if defined(_WIN32)
#error "fault_probe_posix.cpp is for POSIX systems"
#endif

#include "frame/hints.h"
#include "platform/fault_probe_posix.h"
#include "platform/platform.h"

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>

#if defined(QJ_FAULT_PROBE)
// The linker's bounds of the probe sites' section (weak: a program without a probe has
// no such section, and the table is empty).
extern "C" const std::int32_t __start_qj_probe_sites[] __attribute__((weak, visibility("hidden")));
extern "C" const std::int32_t __stop_qj_probe_sites[] __attribute__((weak, visibility("hidden")));
#endif

namespace velt::zur::memory::platform {

namespace {

// The handler faults other than the probe's go to, one per signal. The signal handler
// reads the published copy while sigaction writes the other one.
struct Chain {
    struct sigaction action[2] = {};
    std::atomic<int> current{0};
    std::atomic<bool> ours{false}; // our handler is the one installed
};
Chain segv_chain;
Chain bus_chain;
pthread_mutex_t chain_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<SigactionFunction> system_sigaction{nullptr};

Chain* chainOf(int signal) {
    if (signal == SIGSEGV)
        return &segv_chain;
    if (signal == SIGBUS)
        return &bus_chain;
    return nullptr;
}

void publish(Chain& chain, const struct sigaction& action) {
    const int next = 1 - chain.current.load(std::memory_order_relaxed);
    chain.action[next] = action;
    chain.current.store(next, std::memory_order_release);
}

// A fault nobody handles: the default action, as if no handler had been installed. A
// real fault re-runs its instruction when the handler returns and now ends the process
// with the signal (and a core dump where enabled); a signal sent by a process is raised
// again and delivered once the handler returns.
void defaultAction(int signal, siginfo_t* info) {
    struct sigaction none = {};
    none.sa_handler = SIG_DFL;
    sigemptyset(&none.sa_mask);
    systemSigaction()(signal, &none, nullptr);
    if (Chain* chain = chainOf(signal))
        chain->ours.store(false, std::memory_order_relaxed);
    if (info == nullptr || info->si_code <= 0)
        ::raise(signal);
}

void passOn(int signal, siginfo_t* info, void* context) {
    Chain* chain = chainOf(signal);
    if (chain == nullptr) {
        defaultAction(signal, info);
        return;
    }
    struct sigaction next = chain->action[chain->current.load(std::memory_order_acquire)];
    const bool withInfo = (next.sa_flags & SA_SIGINFO) != 0;
    if (!withInfo && next.sa_handler == SIG_IGN) {
        // A fault the kernel raised cannot be ignored: it would come back at once.
        if (info != nullptr && info->si_code <= 0)
            return;
        defaultAction(signal, info);
        return;
    }
    if ((withInfo && next.sa_sigaction == nullptr) || (!withInfo && next.sa_handler == SIG_DFL)) {
        defaultAction(signal, info);
        return;
    }
    if (next.sa_flags & SA_RESETHAND) {
        struct sigaction reset = {};
        reset.sa_handler = SIG_DFL;
        sigemptyset(&reset.sa_mask);
        publish(*chain, reset);
    }
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &next.sa_mask, &saved);
    if (withInfo)
        next.sa_sigaction(signal, info, context);
    else
        next.sa_handler(signal);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

#if defined(QJ_FAULT_PROBE)
// Where a probe that faulted at `pc` resumes; 0 when no probe loads at `pc`. Each site
// is a pair of offsets, each from its own place in the table.
std::uintptr_t probeRecovery(std::uintptr_t pc) {
    for (const std::int32_t* site = __start_qj_probe_sites; site + 1 < __stop_qj_probe_sites; site += 2) {
        const std::uintptr_t load = reinterpret_cast<std::uintptr_t>(site) + static_cast<std::intptr_t>(site[0]);
        if (load == pc)
            return reinterpret_cast<std::uintptr_t>(site + 1) + static_cast<std::intptr_t>(site[1]);
    }
    return 0;
}

void onFault(int signal, siginfo_t* info, void* context) {
    auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
    const std::uintptr_t recovery = probeRecovery(static_cast<std::uintptr_t>(machine->gregs[REG_RIP]));
    if (recovery != 0) {
        machine->gregs[REG_RIP] = static_cast<greg_t>(recovery);
        return;
    }
    passOn(signal, info, context);
}

void install(int signal) {
    Chain& chain = *chainOf(signal);
    if (chain.ours.load(std::memory_order_relaxed))
        return;
    struct sigaction action = {};
    action.sa_sigaction = &onFault;
    // On the alternate signal stack where the thread has one: a host that catches its
    // stack overflows runs its handler there, and ours comes first.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    if (systemSigaction()(signal, nullptr, &previous) != 0)
        return;
    publish(chain, previous);
    if (systemSigaction()(signal, &action, nullptr) == 0)
        chain.ours.store(true, std::memory_order_release);
}

void remove(int signal) {
    Chain& chain = *chainOf(signal);
    if (!chain.ours.exchange(false))
        return;
    struct sigaction current = {};
    systemSigaction()(signal, nullptr, &current);
    // Only our own handler is replaced; one installed past us stays.
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == &onFault)
        systemSigaction()(signal, &chain.action[chain.current.load()], nullptr);
}
#endif

} // namespace

SigactionFunction systemSigaction() {
    SigactionFunction function = system_sigaction.load(std::memory_order_acquire);
    if (function == nullptr) {
        // The next definition after the caller's object: the C library's, or a
        // sanitizer's that wraps it. Never the library's own (loader_entry_posix.cpp).
        function = reinterpret_cast<SigactionFunction>(::dlsym(RTLD_NEXT, "sigaction"));
        if (function == nullptr)
            function = &::sigaction;
        system_sigaction.store(function, std::memory_order_release);
    }
    return function;
}

bool chainedSigaction(int signal, const struct sigaction* action, struct sigaction* previous) {
    Chain* chain = chainOf(signal);
    if (chain == nullptr || !chain->ours.load(std::memory_order_acquire))
        return false;
    pthread_mutex_lock(&chain_lock);
    const bool ours = chain->ours.load(std::memory_order_acquire);
    if (ours) {
        const struct sigaction old = chain->action[chain->current.load(std::memory_order_relaxed)];
        if (action != nullptr)
            publish(*chain, *action);
        if (previous != nullptr)
            *previous = old;
    }
    pthread_mutex_unlock(&chain_lock);
    return ours;
}

void installFaultProbe() {
#if defined(QJ_FAULT_PROBE)
    pthread_mutex_lock(&chain_lock);
    install(SIGSEGV);
    install(SIGBUS);
    pthread_mutex_unlock(&chain_lock);
#endif
}

void removeFaultProbe() {
#if defined(QJ_FAULT_PROBE)
    pthread_mutex_lock(&chain_lock);
    remove(SIGSEGV);
    remove(SIGBUS);
    pthread_mutex_unlock(&chain_lock);
#endif
}

bool faultProbeActive() {
#if defined(QJ_FAULT_PROBE)
    return segv_chain.ours.load(std::memory_order_relaxed) && bus_chain.ours.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

#if !defined(QJ_FAULT_PROBE)
// Without a probe for this processor the word is read directly. It may be a released
// block's word, which the address sanitizer must let be read.
QJ_NO_ASAN bool probeRead32(std::uintptr_t at, std::uint32_t& value) {
    std::memcpy(&value, reinterpret_cast<const void*>(at), sizeof value);
    return true;
}
#endif

} // namespace velt::zur::memory::platform
