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
// Number of successful HeapAlloc and HeapReAlloc calls since the process started.
size_t SeamHeapAllocationCount();

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

// Failure points, for a harness that fails every call in turn. Every call that
// goes through SeamCallFails is a point, numbered from 1 in the order of the calls
// since SeamPointsArm. Point `point` fails (and, when `persistent`, every later
// one too) with the API's usual failure (SeamPointFailureCode); 0 only counts.
void SeamPointsArm(unsigned point, bool persistent);
void SeamPointsDisarm();
// The points counted since SeamPointsArm.
unsigned SeamPointsCounted();
// One point: the API called and the ordinal of that call among the calls of the
// same API since SeamPointsArm (what SeamFailNthCall and --fail-call count).
struct SeamPoint {
    const char* api;  // a string of the layer, valid while the process runs
    unsigned ordinal;
};
// The points counted since SeamPointsArm, in order.
std::vector<SeamPoint> SeamPointsSeen();
// The code a failed point answers for `api`: its usual failure, as a Win32 error,
// installer result, RPC status or HRESULT, whichever the API reports.
uint32_t SeamPointFailureCode(const char* api);

// Clock: GetSystemTime answers this time until SeamUseRealClock.
void SeamFixSystemTime(const SYSTEMTIME& time);
void SeamUseRealClock();

// UUIDs: UuidCreate hands out these UUIDs in turn (then random ones again).
void SeamQueueUuids(const std::vector<UUID>& uuids);

// Registry: put a value (raw bytes, REG_SZ) under HKEY_LOCAL_MACHINE; the key is
// created as needed. SeamRegistryClear removes everything.
void SeamRegistrySetValue(const char16_t* key, const char16_t* name, const void* data, DWORD bytes);
void SeamRegistryClear();

// WinHTTP: number of HINTERNET handles open (sessions, connections and requests
// handed out and not yet closed).
size_t SeamLiveInternetHandles();
// WinHTTP: a PEM file of CA certificates trusted besides the system's store (empty:
// none). The tests' and the demo's local registration service is signed by such a CA.
void SeamTrustExtraCa(const std::string& pemPath);
// WinHTTP: connections to host:port go to address:toPort instead (libcurl's
// connect-to), without a proxy; the TLS server name and the certificate check still
// use host. Added to those set before.
void SeamRedirectConnection(const std::string& host, unsigned port, const std::string& address,
                            unsigned toPort);
// WinHTTP: the time-outs of sessions opened from now on, in milliseconds (WinHTTP's
// defaults are 60000 to connect and 30000 to send and receive; the latter, the
// longest time no byte moves once connected, is checked about once a second).
void SeamSetInternetTimeouts(DWORD connectMs, DWORD sendReceiveMs);
// WinHTTP: back to no extra CA, no redirection and the default time-outs.
void SeamClearInternetSettings();

// Shell: the program started for "open" instead of xdg-open, with the target as its
// one argument (empty: xdg-open again).
void SeamSetOpenCommand(const std::string& program);
// Shell: the targets ShellExecuteW was asked to open since the last clear, in order,
// whether or not the program started.
std::vector<std::u16string> SeamOpenRequests();
void SeamClearOpenRequests();

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
