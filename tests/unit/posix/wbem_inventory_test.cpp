// The inventory classes: on a fake machine (files under a scratch root) each
// class reads the values the files hold, typed as WMI types them; on this machine
// every class answers, every value has its property's VARIANT type or none, and
// the values that can be checked independently agree.
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/posix/wbem/inventory_sources.h"
#include "wbem_test_support.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char kCpuInfo[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230\nstepping\t: 7\ncpu MHz\t\t: 2100.123\n"
    "physical id\t: 0\nsiblings\t: 2\ncore id\t\t: 0\ncpu cores\t: 2\n"
    "flags\t\t: fpu lm vmx ept hypervisor\n\n"
    "processor\t: 1\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230\nstepping\t: 7\ncpu MHz\t\t: 2100.123\n"
    "physical id\t: 0\nsiblings\t: 2\ncore id\t\t: 1\ncpu cores\t: 2\nflags\t\t: fpu lm\n\n"
    "processor\t: 2\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230\nstepping\t: 7\ncpu MHz\t\t: 1999.5\n"
    "physical id\t: 1\nsiblings\t: 2\ncore id\t\t: 0\ncpu cores\t: 2\nflags\t\t: fpu lm\n\n"
    "processor\t: 3\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 85\n"
    "model name\t: Intel(R) Xeon(R) Gold 6230\nstepping\t: 7\ncpu MHz\t\t: 1999.5\n"
    "physical id\t: 1\nsiblings\t: 2\ncore id\t\t: 1\ncpu cores\t: 2\nflags\t\t: fpu lm\n";

class FakeMachine : public WbemTest {
  protected:
    void SetUp() override {
        WbemTest::SetUp();
        char pattern[] = "/tmp/ostrel-inventory-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        root_ = pattern;
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        oldTz_ = hadTz_ ? tz : "";
        setenv("TZ", "OST-5:45", 1);  // east of UTC by 5 h 45 min, no daylight saving
        tzset();
        Write("/etc/os-release",
              "NAME=\"Ostrel Linux\"\nVERSION_ID=\"7.1\"\n# a comment\n"
              "PRETTY_NAME='Ostrel Linux 7.1 (test)'\n");
        Write("/proc/cpuinfo", kCpuInfo);
        Write("/proc/meminfo",
              "MemTotal:        8000000 kB\nMemFree:  100 kB\nMemAvailable:    5000000 kB\n"
              "SwapTotal:       2000000 kB\nSwapFree:        1500000 kB\n");
        Write("/proc/stat", "cpu  1 2 3\nbtime 1700000000\nprocesses 5\n");
        Write("/proc/sys/kernel/pid_max", "4194304\n");
        Write("/proc/mounts",
              "proc /proc proc rw 0 0\n"
              "/dev/vda1 / ext4 rw,relatime 0 0\n"
              "tmpfs /run tmpfs rw 0 0\n"
              "/dev/sdb1 /media/usb\\040stick vfat ro,nosuid 0 0\n"
              "server:/export /mnt/nfs nfs4 rw 0 0\n"
              "/dev/loop0 /snap/core squashfs ro 0 0\n");
        fs::create_directories(root_ + "/media/usb stick");
        fs::create_directories(root_ + "/mnt/nfs");
        fs::create_directories(root_ + "/proc/1");
        fs::create_directories(root_ + "/proc/42");
        fs::create_directories(root_ + "/proc/self");
        // As sysfs lays it out: the partition inside its disk, linked from class/block.
        Write("/sys/devices/block/sdb/removable", "1\n");
        fs::create_directories(root_ + "/sys/devices/block/sdb/sdb1");
        fs::create_directories(root_ + "/sys/class/block");
        fs::create_symlink("../../devices/block/sdb", root_ + "/sys/class/block/sdb");
        fs::create_symlink("../../devices/block/sdb/sdb1", root_ + "/sys/class/block/sdb1");
        fs::create_directories(root_ + "/dev/disk/by-label");
        fs::create_symlink("../../sdb1", root_ + "/dev/disk/by-label/STICK");
        Write("/sys/class/dmi/id/sys_vendor", "Ostrel Systems\n");
        Write("/sys/class/dmi/id/product_name", "Model 9\n");
        Write("/sys/class/dmi/id/bios_vendor", "Ostrel BIOS Inc.\n");
        Write("/sys/class/dmi/id/bios_version", "1.2.3\n");
        Write("/sys/class/dmi/id/bios_date", "03/14/2023\n");
        Write("/sys/class/dmi/id/bios_release", "5.17\n");
        Write("/sys/class/dmi/id/board_vendor", "Ostrel Boards\n");
        Write("/sys/class/dmi/id/board_name", "OB-1\n");
        Write("/sys/class/dmi/id/board_serial", "   \n");  // blanks only: no value
        Write("/sys/devices/system/cpu/cpu0/cache/index0/level", "1\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index0/type", "Data\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index0/size", "32K\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index2/level", "2\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index2/type", "Unified\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index2/size", "1024K\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index3/level", "3\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index3/type", "Unified\n");
        Write("/sys/devices/system/cpu/cpu0/cache/index3/size", "27M\n");
        Write("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "3900000\n");
        WriteInterface("ostrelb0", "7", "1", "0a:1b:2c:3d:4e:5f", "9000", "down");
        WriteInterface("ostrela0", "3", "1", "02:00:00:00:00:01", "1500", "up");
        WriteInterface("lo", "1", "772", "00:00:00:00:00:00", "65536", "unknown");
        SeamWbemSetInventoryRoot(root_);
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        fs::remove_all(root_);
        WbemTest::TearDown();
    }

    void Write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(root_ + path).parent_path());
        std::ofstream(root_ + path, std::ios::binary) << text;
    }
    void WriteInterface(const std::string& name, const char* index, const char* type,
                        const char* address, const char* mtu, const char* state) {
        const std::string base = "/sys/class/net/" + name + "/";
        Write(base + "ifindex", std::string(index) + "\n");
        Write(base + "type", std::string(type) + "\n");
        Write(base + "address", std::string(address) + "\n");
        Write(base + "mtu", std::string(mtu) + "\n");
        Write(base + "operstate", std::string(state) + "\n");
    }

    std::string root_;
    bool hadTz_ = false;
    std::string oldTz_;
};

std::string HostName() {
    utsname name = {};
    uname(&name);
    return name.nodename;
}

TEST_F(FakeMachine, ProcessorsOneRowPerPackage) {
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_Processor");
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("CPU0", ValueOf(rows[0], "DeviceID"));
    EXPECT_EQ("CPU1", ValueOf(rows[1], "DeviceID"));
    EXPECT_EQ("Intel(R) Xeon(R) Gold 6230", ValueOf(rows[0], "Name"));
    EXPECT_EQ("GenuineIntel", ValueOf(rows[0], "Manufacturer"));
    EXPECT_EQ("Intel64 Family 6 Model 85 Stepping 7", ValueOf(rows[0], "Caption"));
    EXPECT_EQ("2100", ValueOf(rows[0], "CurrentClockSpeed"));
    EXPECT_EQ("2000", ValueOf(rows[1], "CurrentClockSpeed"));  // rounded
    EXPECT_EQ("3900", ValueOf(rows[0], "MaxClockSpeed"));
    EXPECT_EQ("2000", ValueOf(rows[1], "MaxClockSpeed"));  // no cpufreq: the current speed
    EXPECT_EQ("2", ValueOf(rows[0], "NumberOfCores"));
    EXPECT_EQ("2", ValueOf(rows[0], "NumberOfLogicalProcessors"));
    EXPECT_EQ("1024", ValueOf(rows[0], "L2CacheSize"));
    EXPECT_EQ("27648", ValueOf(rows[0], "L3CacheSize"));
    EXPECT_EQ("null", ValueOf(rows[1], "L2CacheSize"));
    EXPECT_EQ(std::to_string(85 * 256 + 7), ValueOf(rows[0], "Revision"));
    EXPECT_EQ("true", ValueOf(rows[0], "VirtualizationFirmwareEnabled"));
    EXPECT_EQ("false", ValueOf(rows[1], "VirtualizationFirmwareEnabled"));
    EXPECT_EQ("null", ValueOf(rows[0], "ProcessorId"));
    EXPECT_EQ(VT_I4, TypeOf(rows[0], "AddressWidth"));   // uint16
    EXPECT_EQ(VT_I4, TypeOf(rows[0], "MaxClockSpeed"));  // uint32
    EXPECT_EQ(VT_BOOL, TypeOf(rows[0], "PowerManagementSupported"));
    EXPECT_EQ(HostName(), ValueOf(rows[0], "SystemName"));
    // WMI's order: by name without regard to case.
    EXPECT_EQ("AddressWidth", rows[0].front().name);
    EXPECT_EQ("VoltageCaps", rows[0].back().name);
}

TEST_F(FakeMachine, ComputerSystemCountsPackagesAndProcessors) {
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_ComputerSystem");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("2", ValueOf(rows[0], "NumberOfProcessors"));
    EXPECT_EQ("4", ValueOf(rows[0], "NumberOfLogicalProcessors"));
    EXPECT_EQ("8192000000", ValueOf(rows[0], "TotalPhysicalMemory"));
    EXPECT_EQ(VT_BSTR, TypeOf(rows[0], "TotalPhysicalMemory"));  // uint64
    EXPECT_EQ("Ostrel Systems", ValueOf(rows[0], "Manufacturer"));
    EXPECT_EQ("Model 9", ValueOf(rows[0], "Model"));
    EXPECT_EQ("null", ValueOf(rows[0], "SystemFamily"));
    EXPECT_EQ("true", ValueOf(rows[0], "HypervisorPresent"));
    EXPECT_EQ("345", ValueOf(rows[0], "CurrentTimeZone"));
    EXPECT_EQ(VT_I2, TypeOf(rows[0], "CurrentTimeZone"));  // sint16
    EXPECT_EQ(HostName(), ValueOf(rows[0], "Name"));
}

TEST_F(FakeMachine, OperatingSystemFromOsReleaseMeminfoAndTheBootTime) {
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(1u, rows.size());
    const ReadRow& os = rows[0];
    EXPECT_EQ("Ostrel Linux 7.1 (test)", ValueOf(os, "Caption"));
    EXPECT_EQ("7.1", ValueOf(os, "Version"));
    EXPECT_EQ("Ostrel Linux 7.1 (test)|/|/dev/vda1", ValueOf(os, "Name"));
    EXPECT_EQ("/dev/vda1", ValueOf(os, "SystemDevice"));
    EXPECT_EQ("8000000", ValueOf(os, "TotalVisibleMemorySize"));
    EXPECT_EQ("5000000", ValueOf(os, "FreePhysicalMemory"));
    EXPECT_EQ("10000000", ValueOf(os, "TotalVirtualMemorySize"));
    EXPECT_EQ("6500000", ValueOf(os, "FreeVirtualMemory"));
    EXPECT_EQ("1500000", ValueOf(os, "FreeSpaceInPagingFiles"));
    // 1700000000 is 2023-11-14 22:13:20 UTC; local time is 5 h 45 min later.
    EXPECT_EQ("20231115035820.000000+345", ValueOf(os, "LastBootUpTime"));
    EXPECT_EQ(25u, ValueOf(os, "LocalDateTime").size());
    EXPECT_EQ("+345", ValueOf(os, "LocalDateTime").substr(21));
    EXPECT_EQ("2", ValueOf(os, "NumberOfProcesses"));  // "self" is no process
    EXPECT_EQ("4194304", ValueOf(os, "MaxNumberOfProcesses"));
    EXPECT_EQ("36", ValueOf(os, "OSType"));
    EXPECT_EQ("true", ValueOf(os, "Primary"));
    EXPECT_EQ("null", ValueOf(os, "SerialNumber"));
    EXPECT_EQ(VT_NULL, TypeOf(os, "MUILanguages"));
}

TEST_F(FakeMachine, BiosAndBaseBoardFromDmi) {
    std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_BIOS");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("Ostrel BIOS Inc.", ValueOf(rows[0], "Manufacturer"));
    EXPECT_EQ("1.2.3", ValueOf(rows[0], "SMBIOSBIOSVersion"));
    EXPECT_EQ("[1.2.3]", ValueOf(rows[0], "BIOSVersion"));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, TypeOf(rows[0], "BIOSVersion"));
    EXPECT_EQ("20230314000000.000000+000", ValueOf(rows[0], "ReleaseDate"));
    EXPECT_EQ("5", ValueOf(rows[0], "SystemBiosMajorVersion"));
    EXPECT_EQ("17", ValueOf(rows[0], "SystemBiosMinorVersion"));
    EXPECT_EQ(VT_UI1, TypeOf(rows[0], "SystemBiosMajorVersion"));  // uint8
    EXPECT_EQ("null", ValueOf(rows[0], "EmbeddedControllerMajorVersion"));
    EXPECT_EQ("null", ValueOf(rows[0], "SerialNumber"));

    rows = Query(u"SELECT * FROM Win32_BaseBoard");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("Ostrel Boards", ValueOf(rows[0], "Manufacturer"));
    EXPECT_EQ("OB-1", ValueOf(rows[0], "Product"));
    EXPECT_EQ("null", ValueOf(rows[0], "SerialNumber"));
    EXPECT_EQ(VT_NULL, TypeOf(rows[0], "Weight"));
}

TEST_F(FakeMachine, LogicalDisksAreTheDriveLikeMounts) {
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_LogicalDisk");
    Strings devices;
    for (const ReadRow& row : rows) {
        devices.push_back(ValueOf(row, "DeviceID") + " " + ValueOf(row, "DriveType") + " " +
                          ValueOf(row, "FileSystem") + " " + ValueOf(row, "Access"));
    }
    EXPECT_EQ((Strings{"/ 3 ext4 3", "/media/usb stick 2 vfat 1", "/mnt/nfs 4 nfs4 3"}), devices);
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("STICK", ValueOf(rows[1], "VolumeName"));
    EXPECT_EQ("Removable Disk", ValueOf(rows[1], "Description"));
    EXPECT_EQ("server:/export", ValueOf(rows[2], "ProviderName"));
    // Sizes come from statvfs of the mount point below the root.
    struct statvfs space = {};
    ASSERT_EQ(0, statvfs(root_.c_str(), &space));
    EXPECT_EQ(std::to_string(static_cast<uint64_t>(space.f_blocks) * space.f_frsize),
              ValueOf(rows[0], "Size"));
    EXPECT_EQ(VT_BSTR, TypeOf(rows[0], "FreeSpace"));
}

TEST_F(FakeMachine, NetworkAdaptersWithoutLoopbackInIndexOrder) {
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_NetworkAdapterConfiguration");
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("[00000003] ostrela0", ValueOf(rows[0], "Caption"));
    EXPECT_EQ("ostrelb0", ValueOf(rows[1], "Description"));
    EXPECT_EQ("02:00:00:00:00:01", ValueOf(rows[0], "MACAddress"));
    EXPECT_EQ("0A:1B:2C:3D:4E:5F", ValueOf(rows[1], "MACAddress"));
    EXPECT_EQ("9000", ValueOf(rows[1], "MTU"));
    EXPECT_EQ("7", ValueOf(rows[1], "InterfaceIndex"));
    // No such interface on this machine: no address, IP not enabled.
    EXPECT_EQ("false", ValueOf(rows[0], "IPEnabled"));
    EXPECT_EQ("null", ValueOf(rows[0], "IPAddress"));
}

TEST_F(FakeMachine, WhatCannotBeReadHasNoValue) {
    fs::remove_all(root_ + "/proc");
    fs::remove_all(root_ + "/sys");
    fs::remove(root_ + "/etc/os-release");
    EXPECT_TRUE(Query(u"SELECT * FROM Win32_Processor").empty());
    EXPECT_TRUE(Query(u"SELECT * FROM Win32_LogicalDisk").empty());
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("null", ValueOf(rows[0], "Caption"));
    EXPECT_EQ("null", ValueOf(rows[0], "TotalVisibleMemorySize"));
    EXPECT_EQ("null", ValueOf(rows[0], "LastBootUpTime"));
    const std::vector<ReadRow> bios = Query(u"SELECT * FROM Win32_BIOS");
    ASSERT_EQ(1u, bios.size());
    EXPECT_EQ("null", ValueOf(bios[0], "Manufacturer"));
    EXPECT_EQ("false", ValueOf(bios[0], "SMBIOSPresent"));
}

TEST_F(FakeMachine, MalformedProcessorFieldsLeaveTheirPropertiesWithoutValue) {
    Write("/proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: Other\ncpu family\t: 6\nmodel\t\t: -3\n"
          "stepping\t: 1\ncpu MHz\t\t: fast\n\n");
    const std::vector<ReadRow> rows = Query(u"SELECT * FROM Win32_Processor");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("CPU0", ValueOf(rows[0], "DeviceID"));
    EXPECT_EQ("null", ValueOf(rows[0], "Revision"));  // a model outside 0..255
    EXPECT_EQ("1", ValueOf(rows[0], "Stepping"));
    EXPECT_EQ("null", ValueOf(rows[0], "CurrentClockSpeed"));
    EXPECT_EQ("6", ValueOf(rows[0], "Level"));
    EXPECT_EQ("1", ValueOf(rows[0], "NumberOfLogicalProcessors"));
}

using ThisMachine = WbemTest;

TEST_F(ThisMachine, EveryClassAnswersWithTheTypesWmiGivesItsProperties) {
    for (const std::u16string& name : WbemInventoryClassNames()) {
        WbemClassSource source;
        ASSERT_TRUE(WbemFindInventoryClass(name, &source));
        const std::u16string statement = u"SELECT * FROM " + name;
        HRESULT status = S_OK;
        const std::vector<ReadRow> rows = Query(statement.c_str(), &status);
        EXPECT_EQ(WBEM_S_FALSE, status) << Utf16ToUtf8(name);
        for (const ReadRow& row : rows) {
            ASSERT_EQ(source.schema->properties.size(), row.size());
            for (size_t i = 0; i < row.size(); ++i) {
                const WbemProperty& property = source.schema->properties[i];
                EXPECT_EQ(Utf16ToUtf8(property.name), row[i].name);
                if (i > 0) {
                    EXPECT_LT(
                        WqlCompareFolded(source.schema->properties[i - 1].name, property.name), 0);
                }
                EXPECT_TRUE(row[i].vt == VT_NULL || row[i].vt == WbemVarTypeOf(property.type))
                    << Utf16ToUtf8(name) << "." << row[i].name << " is VARTYPE " << row[i].vt;
            }
        }
    }
    EXPECT_TRUE(InventoryMisfits().empty()) << Utf16ToUtf8(InventoryMisfits().front());
}

TEST_F(ThisMachine, ValuesAgreeWithWhatTheSystemSays) {
    std::vector<ReadRow> rows = Query(u"SELECT Caption, CSName FROM Win32_OperatingSystem");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(HostName(), ValueOf(rows[0], "CSName"));
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (line.compare(0, 13, "PRETTY_NAME=\"") == 0) {
            EXPECT_EQ(line.substr(13, line.size() - 14), ValueOf(rows[0], "Caption"));
        }
    }

    rows = Query(u"SELECT DeviceID, Size FROM Win32_LogicalDisk WHERE DeviceID = '/'");
    ASSERT_EQ(1u, rows.size());
    struct statvfs space = {};
    ASSERT_EQ(0, statvfs("/", &space));
    EXPECT_EQ(std::to_string(static_cast<uint64_t>(space.f_blocks) * space.f_frsize),
              ValueOf(rows[0], "Size"));

    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    rows = Query(u"SELECT NumberOfLogicalProcessors FROM Win32_ComputerSystem");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(std::to_string(online), ValueOf(rows[0], "NumberOfLogicalProcessors"));
}

}  // namespace
