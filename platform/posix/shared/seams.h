// Test seams of the posix platform layer. Only the host and the tests include this
// header; the library never does. Every seam lives in libostrel_win32.so, so the
// library, the host and the tests see one and the same state.
#ifndef OSTREL_PLATFORM_POSIX_SEAMS_H
#define OSTREL_PLATFORM_POSIX_SEAMS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix/wbem/wbem_value.h"
#include "platform/posix/win32_base.h"

// Heap: make the n-th HeapAlloc or HeapReAlloc from now on fail (1 = the next
// one; 0 cancels). Only that one call fails.
void SeamFailNthAllocation(unsigned nth);
// Number of heap blocks allocated and not yet freed.
size_t SeamLiveHeapBlocks();

// Any API of the layer: make its n-th call from now on (1 = the next one) fail with
// `code`. What "fail" means is the API's own failure: a null or FALSE result with
// the last error set to `code`, or `code` itself as the result where the API
// returns a status (installer calls, RPC, registry). Several failures may be armed
// at once, for different APIs or different n of one API.
void SeamFailNthCall(const char* api, unsigned nth, uint32_t code);
// Disarm every failure armed with SeamFailNthAllocation or SeamFailNthCall.
void SeamClearFailures();
// Used by the layer's APIs: counts a call of `api` and tells whether it must fail,
// and with which code.
bool SeamCallFails(const char* api, uint32_t* code);

// Clock: GetSystemTime answers this time until SeamUseRealClock.
void SeamFixSystemTime(const SYSTEMTIME& time);
void SeamUseRealClock();

// UUIDs: UuidCreate hands out these UUIDs in turn (then random ones again).
void SeamQueueUuids(const std::vector<UUID>& uuids);

// Registry: put a value (raw bytes, REG_SZ) under HKEY_LOCAL_MACHINE; the key is
// created as needed. SeamRegistryClear removes everything.
void SeamRegistrySetValue(const char16_t* key, const char16_t* name, const void* data, DWORD bytes);
void SeamRegistryClear();

// Files: number of file handles open (CreateFileW answered, CloseHandle not yet).
size_t SeamLiveFileHandles();
// Files: the n-th WriteFile from now on (1 = the next one) writes at most `bytes`
// bytes and still reports success, as a short write would. 0 cancels.
void SeamLimitNthWrite(unsigned nth, DWORD bytes);
// Files: runs `hook` right before the n-th call (1 = the next one) of the file API
// `api` ("CreateFileW", "ReadFile", "WriteFile", "GetFileSizeEx", ...), as when
// another party acts on the file between two calls. Cleared once run.
void SeamBeforeNthFileCall(const char* api, unsigned nth, std::function<void()> hook);
// Files: disarms the hooks and the short write armed above.
void SeamClearFileSeams();

// COM: objects alive (created and not yet released to zero) and BSTRs allocated
// and not yet freed, over the whole process.
size_t SeamLiveComObjects();
size_t SeamLiveBstrs();
// COM: the calling thread's CoInitialize depth (CoInitialize calls not yet
// balanced by CoUninitialize).
long SeamComInitDepth();
// COM: number of CLSIDFromProgID calls so far.
unsigned SeamProgIdLookups();
// COM: removes a ProgID and its class from the registry, as uninstalling the
// component would ("Msxml2.DOMDocument", "MSXML.DOMDocument"); registering puts
// one of those two back.
void SeamUnregisterProgId(const char16_t* progId);
void SeamRegisterProgId(const char16_t* progId);
// COM: safe arrays allocated and not yet destroyed, over the whole process.
size_t SeamLiveSafeArrays();
// COM: the call journal. From Start on, CoInitialize, CoCreateInstance,
// CoSetProxyBlanket, CoUninitialize and the WMI client's methods each write one
// line with their arguments ("IWbemServices::ExecQuery(WQL, SELECT ..., 48,
// null)"); Take stops the journal and hands its lines over.
void SeamComJournalStart();
std::vector<std::string> SeamComJournalTake();

// WMI: serves the class `className` from a table instead of this machine's
// inventory: the columns (names and CIM types, in the order the class enumerates
// them) and rows of values in the VARIANT form WMI hands out, one per column (a
// short row lacks the rest: VT_NULL). Replaces an earlier table of the same class.
// The WMI methods fail through SeamFailNthCall under their names
// ("IWbemLocator::ConnectServer", "IWbemServices::ExecQuery",
// "IEnumWbemClassObject::Next", "IWbemClassObject::BeginEnumeration",
// "IWbemClassObject::Next", "IWbemClassObject::EndEnumeration").
struct WbemTableColumn {
    std::u16string name;
    CIMTYPE type;
};
void SeamWbemSetTable(const std::u16string& className, const std::vector<WbemTableColumn>& columns,
                      const std::vector<std::vector<WbemValue>>& rows);
void SeamWbemClearTables();
// WMI: the inventory reads /etc, /proc and /sys under this directory instead of
// "/" (a test's fake machine); an empty root restores "/". uname, statvfs and
// getifaddrs still answer for the real machine.
void SeamWbemSetInventoryRoot(const std::string& root);

#endif  // OSTREL_PLATFORM_POSIX_SEAMS_H
