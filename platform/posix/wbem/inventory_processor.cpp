// Win32_Processor: one row per physical package of /proc/cpuinfo ("physical id";
// a machine that names none has one package), DeviceID CPU0, CPU1, ... in package
// order. What a package's first processor block says stands for the package:
//
//   Name "model name"; Manufacturer "vendor_id"; Caption and Description as
//   Windows builds them ("AMD64 Family 25 Model 1 Stepping 1"); Level the family,
//   Revision model * 256 + stepping, Stepping the stepping; CurrentClockSpeed
//   "cpu MHz" rounded; MaxClockSpeed cpufreq's cpuinfo_max_freq in MHz, else the
//   current speed; NumberOfCores "cpu cores" (else the distinct "core id"s),
//   NumberOfLogicalProcessors and ThreadCount the package's processor blocks;
//   L2CacheSize and L3CacheSize in KiB from the first processor's
//   /sys/devices/system/cpu/cpuN/cache; the virtualization flags from "flags";
//   AddressWidth, DataWidth and Architecture from the machine type.
//
// Family, ProcessorId, SocketDesignation and the other properties that need
// SMBIOS or the CPUID instruction have no value.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "platform/posix/wbem/inventory_sources.h"

namespace {

std::optional<int64_t> IntegerField(const CpuInfoBlock& block, const char* key) {
    const auto found = block.find(key);
    if (found == block.end()) {
        return std::nullopt;
    }
    long long value = 0;
    char rest = 0;
    if (std::sscanf(found->second.c_str(), "%lld%c", &value, &rest) != 1) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> TextField(const CpuInfoBlock& block, const char* key) {
    const auto found = block.find(key);
    if (found == block.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second;
}

bool HasFlag(const CpuInfoBlock& block, const char* flag) {
    const auto found = block.find("flags");
    if (found == block.end()) {
        return false;
    }
    std::istringstream flags(found->second);
    std::string each;
    while (flags >> each) {
        if (each == flag) {
            return true;
        }
    }
    return false;
}

// The size in KiB of the level-`level` data or unified cache of processor `cpu`.
std::optional<int64_t> CacheKiB(const std::string& cpu, int level) {
    const std::string base = "/sys/devices/system/cpu/cpu" + cpu + "/cache/";
    for (const std::string& index : ListInventoryDirectory(base)) {
        const std::optional<std::string> levelText = ReadInventoryLine(base + index + "/level");
        const std::optional<std::string> type = ReadInventoryLine(base + index + "/type");
        const std::optional<std::string> size = ReadInventoryLine(base + index + "/size");
        if (!levelText || !size || std::atoi(levelText->c_str()) != level ||
            (type && *type == "Instruction")) {
            continue;
        }
        long long value = 0;
        char unit = 'K';
        if (std::sscanf(size->c_str(), "%lld%c", &value, &unit) >= 1) {
            return unit == 'M' ? value * 1024 : value;
        }
    }
    return std::nullopt;
}

// Win32_Processor's Architecture for a machine type.
std::optional<int64_t> Architecture(const std::string& machine) {
    if (machine == "x86_64") {
        return 9;
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) {
        return 0;
    }
    if (machine == "aarch64") {
        return 12;
    }
    if (machine.compare(0, 3, "arm") == 0) {
        return 5;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::vector<CpuInfoBlock>> CpuPackages() {
    std::vector<std::vector<CpuInfoBlock>> packages;
    std::vector<int64_t> ids;
    for (const CpuInfoBlock& block : ReadCpuInfo()) {
        const int64_t id = IntegerField(block, "physical id").value_or(0);
        size_t at = 0;
        while (at < ids.size() && ids[at] < id) {
            ++at;
        }
        if (at == ids.size() || ids[at] != id) {
            ids.insert(ids.begin() + static_cast<std::ptrdiff_t>(at), id);
            packages.insert(packages.begin() + static_cast<std::ptrdiff_t>(at),
                            std::vector<CpuInfoBlock>());
        }
        packages[at].push_back(block);
    }
    return packages;
}

HRESULT ReadProcessors(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    const MachineName machine = ReadMachineName();
    const int width = MachineWidth(machine.machine);
    const std::vector<std::vector<CpuInfoBlock>> packages = CpuPackages();
    for (size_t number = 0; number < packages.size(); ++number) {
        const std::vector<CpuInfoBlock>& package = packages[number];
        const CpuInfoBlock& first = package.front();
        InventoryRow row(schema);

        const std::optional<int64_t> family = IntegerField(first, "cpu family");
        const std::optional<int64_t> model = IntegerField(first, "model");
        const std::optional<int64_t> stepping = IntegerField(first, "stepping");
        const std::optional<std::string> vendor = TextField(first, "vendor_id");
        std::optional<std::string> caption;
        if (family && model && stepping) {
            std::string prefix = machine.machine;
            if (vendor == std::optional<std::string>("GenuineIntel")) {
                prefix = width == 64 ? "Intel64" : "x86";
            } else if (vendor == std::optional<std::string>("AuthenticAMD")) {
                prefix = width == 64 ? "AMD64" : "x86";
            }
            caption = prefix + " Family " + std::to_string(*family) + " Model " +
                      std::to_string(*model) + " Stepping " + std::to_string(*stepping);
            if (*model >= 0 && *model <= 0xFF && *stepping >= 0 && *stepping <= 0xFF) {
                row.Number(u"Revision", *model * 256 + *stepping);  // a uint16
            }
            row.Text(u"Stepping", std::to_string(*stepping));
        }
        row.Number(u"Level", family);
        row.Text(u"Caption", caption);
        row.Text(u"Description", caption);
        row.Text(u"Name", TextField(first, "model name"));
        row.Text(u"Manufacturer", vendor);
        row.Text(u"DeviceID", "CPU" + std::to_string(number));

        std::optional<int64_t> current;
        const auto mhz = first.find("cpu MHz");
        if (mhz != first.end()) {
            char* end = nullptr;
            const double megahertz = std::strtod(mhz->second.c_str(), &end);
            if (end != mhz->second.c_str() && *end == '\0' && megahertz >= 0 && megahertz < 1e9) {
                current = static_cast<int64_t>(std::llround(megahertz));
            }
        }
        row.Number(u"CurrentClockSpeed", current);
        const std::string cpu = TextField(first, "processor").value_or("0");
        std::optional<int64_t> maximum = current;
        const std::optional<std::string> maxKHz =
            ReadInventoryLine("/sys/devices/system/cpu/cpu" + cpu + "/cpufreq/cpuinfo_max_freq");
        if (maxKHz) {
            maximum = std::atoll(maxKHz->c_str()) / 1000;
        }
        row.Number(u"MaxClockSpeed", maximum);

        std::optional<int64_t> cores = IntegerField(first, "cpu cores");
        if (!cores) {
            std::set<std::string> coreIds;
            for (const CpuInfoBlock& block : package) {
                coreIds.insert(TextField(block, "core id").value_or(""));
            }
            cores = static_cast<int64_t>(coreIds.size());
        }
        row.Number(u"NumberOfCores", cores);
        row.Number(u"NumberOfEnabledCore", cores);
        row.Number(u"NumberOfLogicalProcessors", static_cast<int64_t>(package.size()));
        row.Number(u"ThreadCount", static_cast<int64_t>(package.size()));
        row.Number(u"L2CacheSize", CacheKiB(cpu, 2));
        row.Number(u"L3CacheSize", CacheKiB(cpu, 3));

        const bool virtualization = HasFlag(first, "vmx") || HasFlag(first, "svm");
        row.Bool(u"VirtualizationFirmwareEnabled", virtualization);
        row.Bool(u"VMMonitorModeExtensions", virtualization);
        row.Bool(u"SecondLevelAddressTranslationExtensions",
                 HasFlag(first, "ept") || HasFlag(first, "npt"));

        row.Number(u"AddressWidth", width);
        row.Number(u"DataWidth", width);
        row.Number(u"Architecture", Architecture(machine.machine));
        row.Number(u"ProcessorType", 3);  // central processor
        row.Number(u"Availability", 3);   // running at full power
        row.Number(u"CpuStatus", 1);      // enabled
        row.Text(u"Role", std::string("CPU"));
        row.Text(u"Status", std::string("OK"));
        row.Bool(u"PowerManagementSupported", false);
        row.Text(u"CreationClassName", std::string("Win32_Processor"));
        row.Text(u"SystemCreationClassName", std::string("Win32_ComputerSystem"));
        row.Text(u"SystemName", machine.node);
        rows->push_back(row.Take());
    }
    return S_OK;
}
