// Win32_OperatingSystem, Win32_ComputerSystem, Win32_BIOS and Win32_BaseBoard:
// one row each.
//
// Win32_OperatingSystem: Caption is os-release's PRETTY_NAME (else NAME and
//   VERSION), Version its VERSION_ID, BuildNumber the kernel release (uname);
//   CSName the host name; OSType 36 (LINUX); OSArchitecture "64-bit" or "32-bit";
//   memory sizes in KiB from /proc/meminfo (TotalVisibleMemorySize MemTotal,
//   FreePhysicalMemory MemAvailable, the virtual ones with the swap added, the
//   paging-file ones the swap); LastBootUpTime from /proc/stat's btime and
//   LocalDateTime now, both local time in DMTF text; CurrentTimeZone the local
//   offset in minutes; NumberOfProcesses the process directories of /proc;
//   MaxNumberOfProcesses /proc/sys/kernel/pid_max; SystemDevice the device
//   mounted at "/", and Name Caption|/|SystemDevice as Windows joins its three.
// Win32_ComputerSystem: Name, Caption and DNSHostName the host name; Domain the
//   NIS domain when there is one; Manufacturer, Model, SystemFamily and
//   SystemSKUNumber from /sys/class/dmi/id (sys_vendor, product_name,
//   product_family, product_sku); processors counted from /proc/cpuinfo;
//   TotalPhysicalMemory MemTotal in bytes; HypervisorPresent the "hypervisor"
//   flag; SystemType from the machine type.
// Win32_BIOS: /sys/class/dmi/id's bios_vendor, bios_version, bios_date (as the
//   DMTF ReleaseDate), bios_release and ec_firmware_release (the major and minor
//   versions), product_serial (readable by root only: no value otherwise);
//   SMBIOSPresent when /sys/firmware/dmi/tables exists.
// Win32_BaseBoard: board_vendor, board_name (Product), board_version,
//   board_serial and board_asset_tag of /sys/class/dmi/id.
// Every other property has no value: Linux does not keep it (a registered owner,
// a product key) or keeps it only in Windows' sense.
#include <cstdio>
#include <ctime>

#include "platform/posix/wbem/inventory_sources.h"

namespace {

std::optional<std::string> Field(const std::map<std::string, std::string>& fields,
                                 const char* key) {
    const auto found = fields.find(key);
    if (found == fields.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<uint64_t> Sum(std::optional<uint64_t> left, std::optional<uint64_t> right) {
    if (!left || !right) {
        return std::nullopt;
    }
    return *left + *right;
}

// The device mounted at "/" (the last mount there wins, as the kernel sees it).
std::optional<std::string> RootDevice() {
    const std::optional<std::string> mounts = ReadInventoryFile("/proc/mounts");
    if (!mounts) {
        return std::nullopt;
    }
    std::optional<std::string> device;
    size_t start = 0;
    while (start < mounts->size()) {
        size_t end = mounts->find('\n', start);
        if (end == std::string::npos) {
            end = mounts->size();
        }
        char source[512] = {};
        char target[512] = {};
        if (std::sscanf(mounts->substr(start, end - start).c_str(), "%511s %511s", source,
                        target) == 2 &&
            std::string(target) == "/") {
            device = source;
        }
        start = end + 1;
    }
    return device;
}

size_t ProcessCount() {
    size_t count = 0;
    for (const std::string& name : ListInventoryDirectory("/proc")) {
        if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
            ++count;
        }
    }
    return count;
}

// A "major.minor" release as its two numbers.
bool MajorMinor(const std::optional<std::string>& text, int64_t* major, int64_t* minor) {
    unsigned long first = 0;
    unsigned long second = 0;
    if (!text || std::sscanf(text->c_str(), "%lu.%lu", &first, &second) != 2 || first > 255 ||
        second > 255) {
        return false;
    }
    *major = static_cast<int64_t>(first);
    *minor = static_cast<int64_t>(second);
    return true;
}

const char* SystemType(const std::string& machine) {
    if (machine == "x86_64") {
        return "x64-based PC";
    }
    if (machine == "aarch64") {
        return "ARM64-based PC";
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) {
        return "X86-based PC";
    }
    return nullptr;
}

std::optional<std::string> Caption(const std::map<std::string, std::string>& release) {
    std::optional<std::string> caption = Field(release, "PRETTY_NAME");
    if (!caption) {
        const std::optional<std::string> name = Field(release, "NAME");
        const std::optional<std::string> version = Field(release, "VERSION");
        if (name) {
            caption = version ? *name + " " + *version : *name;
        }
    }
    return caption;
}

}  // namespace

HRESULT ReadOperatingSystem(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    const std::map<std::string, std::string> release = ReadOsRelease();
    const MachineName machine = ReadMachineName();
    const time_t now = std::time(nullptr);
    InventoryRow row(schema);

    const std::optional<std::string> caption = Caption(release);
    const std::optional<std::string> device = RootDevice();
    row.Text(u"Caption", caption);
    row.Text(u"Version", Field(release, "VERSION_ID"));
    row.Text(u"BuildNumber",
             machine.release.empty() ? std::nullopt : std::optional<std::string>(machine.release));
    row.Text(u"SystemDevice", device);
    if (caption) {
        row.Text(u"Name", *caption + "|/|" + device.value_or(""));
    }
    row.Text(u"CSName", machine.node);
    row.Text(u"OSArchitecture", MachineWidth(machine.machine) == 64 ? "64-bit" : "32-bit");
    row.Number(u"OSType", 36);  // LINUX in the CIM list of operating systems
    row.Bool(u"Primary", true);
    row.Text(u"Status", "OK");
    row.Text(u"CreationClassName", "Win32_OperatingSystem");
    row.Text(u"CSCreationClassName", "Win32_ComputerSystem");

    const std::optional<uint64_t> total = MemInfoKiB("MemTotal");
    const std::optional<uint64_t> available = MemInfoKiB("MemAvailable");
    const std::optional<uint64_t> swapTotal = MemInfoKiB("SwapTotal");
    const std::optional<uint64_t> swapFree = MemInfoKiB("SwapFree");
    row.Unsigned(u"TotalVisibleMemorySize", total);
    row.Unsigned(u"FreePhysicalMemory", available);
    row.Unsigned(u"TotalVirtualMemorySize", Sum(total, swapTotal));
    row.Unsigned(u"FreeVirtualMemory", Sum(available, swapFree));
    row.Unsigned(u"SizeStoredInPagingFiles", swapTotal);
    row.Unsigned(u"FreeSpaceInPagingFiles", swapFree);

    const std::optional<time_t> boot = BootTime();
    if (boot) {
        row.Text(u"LastBootUpTime", DmtfLocalTime(*boot));
    }
    row.Text(u"LocalDateTime", DmtfLocalTime(now));
    row.Number(u"CurrentTimeZone", LocalOffsetMinutes(now));
    row.Number(u"NumberOfProcesses", static_cast<int64_t>(ProcessCount()));
    const std::optional<std::string> pidMax = ReadInventoryLine("/proc/sys/kernel/pid_max");
    if (pidMax) {
        row.Number(u"MaxNumberOfProcesses", std::atoll(pidMax->c_str()));
    }
    rows->push_back(row.Take());
    return S_OK;
}

HRESULT ReadComputerSystem(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    const MachineName machine = ReadMachineName();
    const time_t now = std::time(nullptr);
    InventoryRow row(schema);

    row.Text(u"Name", machine.node);
    row.Text(u"Caption", machine.node);
    row.Text(u"DNSHostName", machine.node);
    if (!machine.domain.empty()) {
        row.Text(u"Domain", machine.domain);
    }
    row.Text(u"Manufacturer", ReadDmi("sys_vendor"));
    row.Text(u"Model", ReadDmi("product_name"));
    row.Text(u"SystemFamily", ReadDmi("product_family"));
    row.Text(u"SystemSKUNumber", ReadDmi("product_sku"));
    const char* type = SystemType(machine.machine);
    if (type != nullptr) {
        row.Text(u"SystemType", type);
    }

    const std::vector<std::vector<CpuInfoBlock>> packages = CpuPackages();
    size_t logical = 0;
    bool hypervisor = false;
    for (const std::vector<CpuInfoBlock>& package : packages) {
        logical += package.size();
        for (const CpuInfoBlock& block : package) {
            const auto flags = block.find("flags");
            hypervisor = hypervisor ||
                         (flags != block.end() &&
                          (" " + flags->second + " ").find(" hypervisor ") != std::string::npos);
        }
    }
    if (!packages.empty()) {
        row.Number(u"NumberOfProcessors", static_cast<int64_t>(packages.size()));
        row.Number(u"NumberOfLogicalProcessors", static_cast<int64_t>(logical));
        row.Bool(u"HypervisorPresent", hypervisor);
    }
    const std::optional<uint64_t> total = MemInfoKiB("MemTotal");
    if (total) {
        row.Unsigned(u"TotalPhysicalMemory", *total * 1024);
    }
    bool daylightSaving = false;
    row.Number(u"CurrentTimeZone", LocalOffsetMinutes(now, &daylightSaving));
    row.Bool(u"DaylightInEffect", daylightSaving);
    row.Text(u"BootupState", "Normal boot");
    row.Text(u"Status", "OK");
    row.Text(u"CreationClassName", "Win32_ComputerSystem");
    rows->push_back(row.Take());
    return S_OK;
}

HRESULT ReadBios(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    InventoryRow row(schema);
    const std::optional<std::string> version = ReadDmi("bios_version");
    row.Text(u"Manufacturer", ReadDmi("bios_vendor"));
    row.Text(u"SMBIOSBIOSVersion", version);
    row.Text(u"Name", version);
    row.Text(u"Caption", version);
    row.Text(u"Description", version);
    row.Text(u"SoftwareElementID", version);
    if (version) {
        row.Texts(u"BIOSVersion", {*version});
    }
    const std::optional<std::string> date = ReadDmi("bios_date");
    if (date) {
        row.Text(u"ReleaseDate", DmtfFromDmiDate(*date));
    }
    int64_t major = 0;
    int64_t minor = 0;
    if (MajorMinor(ReadDmi("bios_release"), &major, &minor)) {
        row.Number(u"SystemBiosMajorVersion", major);
        row.Number(u"SystemBiosMinorVersion", minor);
    }
    if (MajorMinor(ReadDmi("ec_firmware_release"), &major, &minor)) {
        row.Number(u"EmbeddedControllerMajorVersion", major);
        row.Number(u"EmbeddedControllerMinorVersion", minor);
    }
    row.Text(u"SerialNumber", ReadDmi("product_serial"));
    row.Bool(u"SMBIOSPresent", !ListInventoryDirectory("/sys/firmware/dmi/tables").empty());
    row.Bool(u"PrimaryBIOS", true);
    row.Number(u"SoftwareElementState", 3);   // running
    row.Number(u"TargetOperatingSystem", 0);  // unknown
    row.Text(u"Status", "OK");
    rows->push_back(row.Take());
    return S_OK;
}

HRESULT ReadBaseBoard(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    InventoryRow row(schema);
    row.Text(u"Manufacturer", ReadDmi("board_vendor"));
    row.Text(u"Product", ReadDmi("board_name"));
    row.Text(u"Version", ReadDmi("board_version"));
    row.Text(u"SerialNumber", ReadDmi("board_serial"));
    row.Text(u"Tag", "Base Board");
    row.Text(u"Name", "Base Board");
    row.Text(u"Caption", "Base Board");
    row.Text(u"Description", "Base Board");
    row.Text(u"OtherIdentifyingInfo", ReadDmi("board_asset_tag"));
    row.Bool(u"HostingBoard", true);
    row.Bool(u"PoweredOn", true);
    row.Text(u"Status", "OK");
    row.Text(u"CreationClassName", "Win32_BaseBoard");
    rows->push_back(row.Take());
    return S_OK;
}
