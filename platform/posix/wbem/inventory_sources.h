// Where the inventory reads this machine: files under /etc, /proc and /sys (below
// the root a test may set, SeamWbemSetInventoryRoot), uname, statvfs and
// getifaddrs; and the row builder that turns what was read into values of the
// types WMI gives each property. Not for the library.
#ifndef OSTREL_PLATFORM_POSIX_WBEM_INVENTORY_SOURCES_H
#define OSTREL_PLATFORM_POSIX_WBEM_INVENTORY_SOURCES_H

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/wbem/wbem_internal.h"

// `path` (absolute) below the inventory root.
std::string InventoryPath(const std::string& path);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadInventoryFile(const std::string& path);
// The file's first line without surrounding blanks; nothing when it cannot be read
// or holds only blanks.
std::optional<std::string> ReadInventoryLine(const std::string& path);
// /sys/class/dmi/id/<name>, as ReadInventoryLine reads it.
std::optional<std::string> ReadDmi(const char* name);
// The names in a directory (without "." and ".."), sorted; empty when it cannot
// be read.
std::vector<std::string> ListInventoryDirectory(const std::string& path);
// The target of a symbolic link, or nothing.
std::optional<std::string> ReadInventoryLink(const std::string& path);

// The fields of /etc/os-release (or /usr/lib/os-release), values unquoted.
std::map<std::string, std::string> ReadOsRelease();
// A field of /proc/meminfo in KiB.
std::optional<uint64_t> MemInfoKiB(const char* field);
// The boot time from the btime line of /proc/stat, in seconds since 1970.
std::optional<time_t> BootTime();

// One processor block of /proc/cpuinfo: its "key : value" fields.
using CpuInfoBlock = std::map<std::string, std::string>;
std::vector<CpuInfoBlock> ReadCpuInfo();

struct MachineName {
    std::string node;     // the host name
    std::string release;  // the kernel release
    std::string machine;  // x86_64, aarch64, i686, ...
    std::string domain;   // the NIS domain, empty when none
};
MachineName ReadMachineName();
// 64 for a 64-bit machine type, else 32.
int MachineWidth(const std::string& machine);

// A time in the CIM DMTF text form "yyyymmddHHMMSS.mmmmmmsUUU", in local time with
// its offset from UTC in minutes (sign and three digits).
std::string DmtfLocalTime(time_t when);
// A DMI date "MM/DD/YYYY" as DMTF text at midnight UTC; nothing when malformed.
std::optional<std::string> DmtfFromDmiDate(const std::string& date);
// The local offset from UTC in minutes at `when`, and whether daylight saving
// time is in effect then.
int LocalOffsetMinutes(time_t when, bool* daylightSaving = nullptr);

// One row of a class under construction: every property starts without a value;
// each setter turns what it gets into the VARIANT type WMI gives the property's
// CIM type (a uint64 as decimal text, a uint16 as VT_I4, ...). Setting a name
// the class lacks, or a kind of value its type cannot hold, is a programming
// error: the property keeps no value and the name is noted (InventoryMisfits),
// which the tests check to be empty.
class InventoryRow {
  public:
    explicit InventoryRow(const WbemClassSchema& schema);
    void Text(const char16_t* name, const std::optional<std::string>& value);
    void Number(const char16_t* name, std::optional<int64_t> value);
    void Unsigned(const char16_t* name, std::optional<uint64_t> value);
    void Bool(const char16_t* name, std::optional<bool> value);
    void Texts(const char16_t* name, const std::vector<std::string>& values);
    // The finished row; the misfits are noted.
    WbemRow Take();

  private:
    // The property's index and CIM type, or false.
    bool Find(const char16_t* name, size_t* index, CIMTYPE* type);
    void Misfit(const char16_t* name) { misfits_.push_back(name); }

    const WbemClassSchema& schema_;
    WbemRow values_;
    std::vector<std::u16string> misfits_;
};

// Names set on rows that their class lacks, or with a value the type cannot hold,
// since the process started (a check for the tests).
std::vector<std::u16string> InventoryMisfits();
void InventoryNoteMisfits(const std::vector<std::u16string>& misfits);

// The readers of the inventory classes: each appends the class's rows, values in
// the schema's order (inventory_system.cpp, inventory_processor.cpp,
// inventory_storage.cpp, inventory_network.cpp).
HRESULT ReadOperatingSystem(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadComputerSystem(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadBios(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadBaseBoard(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadProcessors(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadLogicalDisks(const WbemClassSchema& schema, std::vector<WbemRow>* rows);
HRESULT ReadNetworkAdapterConfigurations(const WbemClassSchema& schema, std::vector<WbemRow>* rows);

// What the processor reader and Win32_ComputerSystem share: the processor blocks
// of /proc/cpuinfo grouped by physical package, in package order.
std::vector<std::vector<CpuInfoBlock>> CpuPackages();

#endif  // OSTREL_PLATFORM_POSIX_WBEM_INVENTORY_SOURCES_H
