// The debugger-output echo of debug_echo.h.
#include "debug_echo.h"

#include <windows.h>

#include <cstdio>

namespace {

PVOID echo_handler = nullptr;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text's length (terminator
// included) and address, and handles the exception itself when no debugger takes it. A
// vectored handler sees it first; it copies the text and lets the search go on.
LONG WINAPI echoDebugText(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        const auto length = static_cast<DWORD>(record->ExceptionInformation[0]);
        const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        // Through the runtime's stderr, which the program shares with this DLL: a test
        // that redirects stderr (GoogleTest's CaptureStderr) captures these lines too.
        if (text != nullptr && length > 1) {
            std::fwrite(text, 1, length - 1, stderr);
            std::fflush(stderr);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

namespace qjtest {
bool debugEchoActive() { return echo_handler != nullptr; }
} // namespace qjtest

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        echo_handler = ::AddVectoredExceptionHandler(1, &echoDebugText);
    else if (reason == DLL_PROCESS_DETACH && echo_handler != nullptr)
        ::RemoveVectoredExceptionHandler(echo_handler);
    return TRUE;
}
