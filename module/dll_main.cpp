// The library entry point. It does no work for any reason: the actions keep their
// state in the action context, opened and closed by each call.
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
