// The inventory classes: their properties with the CIM types WMI gives them, and
// the reader of each. WMI enumerates a class's properties in the order of their
// names, without regard to case; the schemas are sorted that way when built, so
// the lists below can follow the documentation.
#include <algorithm>
#include <mutex>

#include "platform/posix/wbem/inventory_sources.h"

namespace {

constexpr CIMTYPE kStrings = CIM_STRING | CIM_FLAG_ARRAY;
constexpr CIMTYPE kUInt16s = CIM_UINT16 | CIM_FLAG_ARRAY;
constexpr CIMTYPE kUInt32s = CIM_UINT32 | CIM_FLAG_ARRAY;
constexpr CIMTYPE kUInt8s = CIM_UINT8 | CIM_FLAG_ARRAY;

const WbemProperty kOperatingSystem[] = {
    {u"BootDevice", CIM_STRING},
    {u"BuildNumber", CIM_STRING},
    {u"BuildType", CIM_STRING},
    {u"Caption", CIM_STRING},
    {u"CodeSet", CIM_STRING},
    {u"CountryCode", CIM_STRING},
    {u"CreationClassName", CIM_STRING},
    {u"CSCreationClassName", CIM_STRING},
    {u"CSDVersion", CIM_STRING},
    {u"CSName", CIM_STRING},
    {u"CurrentTimeZone", CIM_SINT16},
    {u"DataExecutionPrevention_32BitApplications", CIM_BOOLEAN},
    {u"DataExecutionPrevention_Available", CIM_BOOLEAN},
    {u"DataExecutionPrevention_Drivers", CIM_BOOLEAN},
    {u"DataExecutionPrevention_SupportPolicy", CIM_UINT8},
    {u"Debug", CIM_BOOLEAN},
    {u"Description", CIM_STRING},
    {u"Distributed", CIM_BOOLEAN},
    {u"EncryptionLevel", CIM_UINT32},
    {u"ForegroundApplicationBoost", CIM_UINT8},
    {u"FreePhysicalMemory", CIM_UINT64},
    {u"FreeSpaceInPagingFiles", CIM_UINT64},
    {u"FreeVirtualMemory", CIM_UINT64},
    {u"InstallDate", CIM_DATETIME},
    {u"LargeSystemCache", CIM_UINT32},
    {u"LastBootUpTime", CIM_DATETIME},
    {u"LocalDateTime", CIM_DATETIME},
    {u"Locale", CIM_STRING},
    {u"Manufacturer", CIM_STRING},
    {u"MaxNumberOfProcesses", CIM_UINT32},
    {u"MaxProcessMemorySize", CIM_UINT64},
    {u"MUILanguages", kStrings},
    {u"Name", CIM_STRING},
    {u"NumberOfLicensedUsers", CIM_UINT32},
    {u"NumberOfProcesses", CIM_UINT32},
    {u"NumberOfUsers", CIM_UINT32},
    {u"OperatingSystemSKU", CIM_UINT32},
    {u"Organization", CIM_STRING},
    {u"OSArchitecture", CIM_STRING},
    {u"OSLanguage", CIM_UINT32},
    {u"OSProductSuite", CIM_UINT32},
    {u"OSType", CIM_UINT16},
    {u"OtherTypeDescription", CIM_STRING},
    {u"PAEEnabled", CIM_BOOLEAN},
    {u"PlusProductID", CIM_STRING},
    {u"PlusVersionNumber", CIM_STRING},
    {u"PortableOperatingSystem", CIM_BOOLEAN},
    {u"Primary", CIM_BOOLEAN},
    {u"ProductType", CIM_UINT32},
    {u"RegisteredUser", CIM_STRING},
    {u"SerialNumber", CIM_STRING},
    {u"ServicePackMajorVersion", CIM_UINT16},
    {u"ServicePackMinorVersion", CIM_UINT16},
    {u"SizeStoredInPagingFiles", CIM_UINT64},
    {u"Status", CIM_STRING},
    {u"SuiteMask", CIM_UINT32},
    {u"SystemDevice", CIM_STRING},
    {u"SystemDirectory", CIM_STRING},
    {u"SystemDrive", CIM_STRING},
    {u"TotalSwapSpaceSize", CIM_UINT64},
    {u"TotalVirtualMemorySize", CIM_UINT64},
    {u"TotalVisibleMemorySize", CIM_UINT64},
    {u"Version", CIM_STRING},
    {u"WindowsDirectory", CIM_STRING},
};

const WbemProperty kComputerSystem[] = {
    {u"AdminPasswordStatus", CIM_UINT16},
    {u"AutomaticManagedPagefile", CIM_BOOLEAN},
    {u"AutomaticResetBootOption", CIM_BOOLEAN},
    {u"AutomaticResetCapability", CIM_BOOLEAN},
    {u"BootOptionOnLimit", CIM_UINT16},
    {u"BootOptionOnWatchDog", CIM_UINT16},
    {u"BootROMSupported", CIM_BOOLEAN},
    {u"BootStatus", kUInt16s},
    {u"BootupState", CIM_STRING},
    {u"Caption", CIM_STRING},
    {u"ChassisBootupState", CIM_UINT16},
    {u"ChassisSKUNumber", CIM_STRING},
    {u"CreationClassName", CIM_STRING},
    {u"CurrentTimeZone", CIM_SINT16},
    {u"DaylightInEffect", CIM_BOOLEAN},
    {u"Description", CIM_STRING},
    {u"DNSHostName", CIM_STRING},
    {u"Domain", CIM_STRING},
    {u"DomainRole", CIM_UINT16},
    {u"EnableDaylightSavingsTime", CIM_BOOLEAN},
    {u"FrontPanelResetStatus", CIM_UINT16},
    {u"HypervisorPresent", CIM_BOOLEAN},
    {u"InfraredSupported", CIM_BOOLEAN},
    {u"InitialLoadInfo", kStrings},
    {u"InstallDate", CIM_DATETIME},
    {u"KeyboardPasswordStatus", CIM_UINT16},
    {u"LastLoadInfo", CIM_STRING},
    {u"Manufacturer", CIM_STRING},
    {u"Model", CIM_STRING},
    {u"Name", CIM_STRING},
    {u"NameFormat", CIM_STRING},
    {u"NetworkServerModeEnabled", CIM_BOOLEAN},
    {u"NumberOfLogicalProcessors", CIM_UINT32},
    {u"NumberOfProcessors", CIM_UINT32},
    {u"OEMLogoBitmap", kUInt8s},
    {u"OEMStringArray", kStrings},
    {u"PartOfDomain", CIM_BOOLEAN},
    {u"PauseAfterReset", CIM_SINT64},
    {u"PCSystemType", CIM_UINT16},
    {u"PCSystemTypeEx", CIM_UINT16},
    {u"PowerManagementCapabilities", kUInt16s},
    {u"PowerManagementSupported", CIM_BOOLEAN},
    {u"PowerOnPasswordStatus", CIM_UINT16},
    {u"PowerState", CIM_UINT16},
    {u"PowerSupplyState", CIM_UINT16},
    {u"PrimaryOwnerContact", CIM_STRING},
    {u"PrimaryOwnerName", CIM_STRING},
    {u"ResetCapability", CIM_UINT16},
    {u"ResetCount", CIM_SINT16},
    {u"ResetLimit", CIM_SINT16},
    {u"Roles", kStrings},
    {u"Status", CIM_STRING},
    {u"SupportContactDescription", kStrings},
    {u"SystemFamily", CIM_STRING},
    {u"SystemSKUNumber", CIM_STRING},
    {u"SystemStartupDelay", CIM_UINT16},
    {u"SystemStartupOptions", kStrings},
    {u"SystemStartupSetting", CIM_UINT8},
    {u"SystemType", CIM_STRING},
    {u"ThermalState", CIM_UINT16},
    {u"TotalPhysicalMemory", CIM_UINT64},
    {u"UserName", CIM_STRING},
    {u"WakeUpType", CIM_UINT16},
    {u"Workgroup", CIM_STRING},
};

const WbemProperty kProcessor[] = {
    {u"AddressWidth", CIM_UINT16},
    {u"Architecture", CIM_UINT16},
    {u"AssetTag", CIM_STRING},
    {u"Availability", CIM_UINT16},
    {u"Caption", CIM_STRING},
    {u"Characteristics", CIM_UINT32},
    {u"ConfigManagerErrorCode", CIM_UINT32},
    {u"ConfigManagerUserConfig", CIM_BOOLEAN},
    {u"CpuStatus", CIM_UINT16},
    {u"CreationClassName", CIM_STRING},
    {u"CurrentClockSpeed", CIM_UINT32},
    {u"CurrentVoltage", CIM_UINT16},
    {u"DataWidth", CIM_UINT16},
    {u"Description", CIM_STRING},
    {u"DeviceID", CIM_STRING},
    {u"ErrorCleared", CIM_BOOLEAN},
    {u"ErrorDescription", CIM_STRING},
    {u"ExtClock", CIM_UINT32},
    {u"Family", CIM_UINT16},
    {u"InstallDate", CIM_DATETIME},
    {u"L2CacheSize", CIM_UINT32},
    {u"L2CacheSpeed", CIM_UINT32},
    {u"L3CacheSize", CIM_UINT32},
    {u"L3CacheSpeed", CIM_UINT32},
    {u"LastErrorCode", CIM_UINT32},
    {u"Level", CIM_UINT16},
    {u"LoadPercentage", CIM_UINT16},
    {u"Manufacturer", CIM_STRING},
    {u"MaxClockSpeed", CIM_UINT32},
    {u"Name", CIM_STRING},
    {u"NumberOfCores", CIM_UINT32},
    {u"NumberOfEnabledCore", CIM_UINT32},
    {u"NumberOfLogicalProcessors", CIM_UINT32},
    {u"OtherFamilyDescription", CIM_STRING},
    {u"PartNumber", CIM_STRING},
    {u"PNPDeviceID", CIM_STRING},
    {u"PowerManagementCapabilities", kUInt16s},
    {u"PowerManagementSupported", CIM_BOOLEAN},
    {u"ProcessorId", CIM_STRING},
    {u"ProcessorType", CIM_UINT16},
    {u"Revision", CIM_UINT16},
    {u"Role", CIM_STRING},
    {u"SecondLevelAddressTranslationExtensions", CIM_BOOLEAN},
    {u"SerialNumber", CIM_STRING},
    {u"SocketDesignation", CIM_STRING},
    {u"Status", CIM_STRING},
    {u"StatusInfo", CIM_UINT16},
    {u"Stepping", CIM_STRING},
    {u"SystemCreationClassName", CIM_STRING},
    {u"SystemName", CIM_STRING},
    {u"ThreadCount", CIM_UINT32},
    {u"UniqueId", CIM_STRING},
    {u"UpgradeMethod", CIM_UINT16},
    {u"Version", CIM_STRING},
    {u"VirtualizationFirmwareEnabled", CIM_BOOLEAN},
    {u"VMMonitorModeExtensions", CIM_BOOLEAN},
    {u"VoltageCaps", CIM_UINT32},
};

const WbemProperty kBios[] = {
    {u"BiosCharacteristics", kUInt16s},
    {u"BIOSVersion", kStrings},
    {u"BuildNumber", CIM_STRING},
    {u"Caption", CIM_STRING},
    {u"CodeSet", CIM_STRING},
    {u"CurrentLanguage", CIM_STRING},
    {u"Description", CIM_STRING},
    {u"EmbeddedControllerMajorVersion", CIM_UINT8},
    {u"EmbeddedControllerMinorVersion", CIM_UINT8},
    {u"IdentificationCode", CIM_STRING},
    {u"InstallableLanguages", CIM_UINT16},
    {u"InstallDate", CIM_DATETIME},
    {u"LanguageEdition", CIM_STRING},
    {u"ListOfLanguages", kStrings},
    {u"Manufacturer", CIM_STRING},
    {u"Name", CIM_STRING},
    {u"OtherTargetOS", CIM_STRING},
    {u"PrimaryBIOS", CIM_BOOLEAN},
    {u"ReleaseDate", CIM_DATETIME},
    {u"SerialNumber", CIM_STRING},
    {u"SMBIOSBIOSVersion", CIM_STRING},
    {u"SMBIOSMajorVersion", CIM_UINT16},
    {u"SMBIOSMinorVersion", CIM_UINT16},
    {u"SMBIOSPresent", CIM_BOOLEAN},
    {u"SoftwareElementID", CIM_STRING},
    {u"SoftwareElementState", CIM_UINT16},
    {u"Status", CIM_STRING},
    {u"SystemBiosMajorVersion", CIM_UINT8},
    {u"SystemBiosMinorVersion", CIM_UINT8},
    {u"TargetOperatingSystem", CIM_UINT16},
    {u"Version", CIM_STRING},
};

const WbemProperty kBaseBoard[] = {
    {u"Caption", CIM_STRING},
    {u"ConfigOptions", kStrings},
    {u"CreationClassName", CIM_STRING},
    {u"Depth", CIM_REAL32},
    {u"Description", CIM_STRING},
    {u"Height", CIM_REAL32},
    {u"HostingBoard", CIM_BOOLEAN},
    {u"HotSwappable", CIM_BOOLEAN},
    {u"InstallDate", CIM_DATETIME},
    {u"Manufacturer", CIM_STRING},
    {u"Model", CIM_STRING},
    {u"Name", CIM_STRING},
    {u"OtherIdentifyingInfo", CIM_STRING},
    {u"PartNumber", CIM_STRING},
    {u"PoweredOn", CIM_BOOLEAN},
    {u"Product", CIM_STRING},
    {u"Removable", CIM_BOOLEAN},
    {u"Replaceable", CIM_BOOLEAN},
    {u"RequirementsDescription", CIM_STRING},
    {u"RequiresDaughterBoard", CIM_BOOLEAN},
    {u"SerialNumber", CIM_STRING},
    {u"SKU", CIM_STRING},
    {u"SlotLayout", CIM_STRING},
    {u"SpecialRequirements", CIM_BOOLEAN},
    {u"Status", CIM_STRING},
    {u"Tag", CIM_STRING},
    {u"Version", CIM_STRING},
    {u"Weight", CIM_REAL32},
    {u"Width", CIM_REAL32},
};

const WbemProperty kLogicalDisk[] = {
    {u"Access", CIM_UINT16},
    {u"Availability", CIM_UINT16},
    {u"BlockSize", CIM_UINT64},
    {u"Caption", CIM_STRING},
    {u"Compressed", CIM_BOOLEAN},
    {u"ConfigManagerErrorCode", CIM_UINT32},
    {u"ConfigManagerUserConfig", CIM_BOOLEAN},
    {u"CreationClassName", CIM_STRING},
    {u"Description", CIM_STRING},
    {u"DeviceID", CIM_STRING},
    {u"DriveType", CIM_UINT32},
    {u"ErrorCleared", CIM_BOOLEAN},
    {u"ErrorDescription", CIM_STRING},
    {u"ErrorMethodology", CIM_STRING},
    {u"FileSystem", CIM_STRING},
    {u"FreeSpace", CIM_UINT64},
    {u"InstallDate", CIM_DATETIME},
    {u"LastErrorCode", CIM_UINT32},
    {u"MaximumComponentLength", CIM_UINT32},
    {u"MediaType", CIM_UINT32},
    {u"Name", CIM_STRING},
    {u"NumberOfBlocks", CIM_UINT64},
    {u"PNPDeviceID", CIM_STRING},
    {u"PowerManagementCapabilities", kUInt16s},
    {u"PowerManagementSupported", CIM_BOOLEAN},
    {u"ProviderName", CIM_STRING},
    {u"Purpose", CIM_STRING},
    {u"QuotasDisabled", CIM_BOOLEAN},
    {u"QuotasIncomplete", CIM_BOOLEAN},
    {u"QuotasRebuilding", CIM_BOOLEAN},
    {u"Size", CIM_UINT64},
    {u"Status", CIM_STRING},
    {u"StatusInfo", CIM_UINT16},
    {u"SupportsDiskQuotas", CIM_BOOLEAN},
    {u"SupportsFileBasedCompression", CIM_BOOLEAN},
    {u"SystemCreationClassName", CIM_STRING},
    {u"SystemName", CIM_STRING},
    {u"VolumeDirty", CIM_BOOLEAN},
    {u"VolumeName", CIM_STRING},
    {u"VolumeSerialNumber", CIM_STRING},
};

const WbemProperty kNetworkAdapterConfiguration[] = {
    {u"ArpAlwaysSourceRoute", CIM_BOOLEAN},
    {u"ArpUseEtherSNAP", CIM_BOOLEAN},
    {u"Caption", CIM_STRING},
    {u"DatabasePath", CIM_STRING},
    {u"DeadGWDetectEnabled", CIM_BOOLEAN},
    {u"DefaultIPGateway", kStrings},
    {u"DefaultTOS", CIM_UINT8},
    {u"DefaultTTL", CIM_UINT8},
    {u"Description", CIM_STRING},
    {u"DHCPEnabled", CIM_BOOLEAN},
    {u"DHCPLeaseExpires", CIM_DATETIME},
    {u"DHCPLeaseObtained", CIM_DATETIME},
    {u"DHCPServer", CIM_STRING},
    {u"DNSDomain", CIM_STRING},
    {u"DNSDomainSuffixSearchOrder", kStrings},
    {u"DNSEnabledForWINSResolution", CIM_BOOLEAN},
    {u"DNSHostName", CIM_STRING},
    {u"DNSServerSearchOrder", kStrings},
    {u"DomainDNSRegistrationEnabled", CIM_BOOLEAN},
    {u"ForwardBufferMemory", CIM_UINT32},
    {u"FullDNSRegistrationEnabled", CIM_BOOLEAN},
    {u"GatewayCostMetric", kUInt16s},
    {u"IGMPLevel", CIM_UINT8},
    {u"Index", CIM_UINT32},
    {u"InterfaceIndex", CIM_UINT32},
    {u"IPAddress", kStrings},
    {u"IPConnectionMetric", CIM_UINT32},
    {u"IPEnabled", CIM_BOOLEAN},
    {u"IPFilterSecurityEnabled", CIM_BOOLEAN},
    {u"IPPortSecurityEnabled", CIM_BOOLEAN},
    {u"IPSecPermitIPProtocols", kStrings},
    {u"IPSecPermitTCPPorts", kStrings},
    {u"IPSecPermitUDPPorts", kStrings},
    {u"IPSubnet", kStrings},
    {u"IPUseZeroBroadcast", CIM_BOOLEAN},
    {u"IPXAddress", CIM_STRING},
    {u"IPXEnabled", CIM_BOOLEAN},
    {u"IPXFrameType", kUInt32s},
    {u"IPXMediaType", CIM_UINT32},
    {u"IPXNetworkNumber", kStrings},
    {u"IPXVirtualNetNumber", CIM_STRING},
    {u"KeepAliveInterval", CIM_UINT32},
    {u"KeepAliveTime", CIM_UINT32},
    {u"MACAddress", CIM_STRING},
    {u"MTU", CIM_UINT32},
    {u"NumForwardPackets", CIM_UINT32},
    {u"PMTUBHDetectEnabled", CIM_BOOLEAN},
    {u"PMTUDiscoveryEnabled", CIM_BOOLEAN},
    {u"ServiceName", CIM_STRING},
    {u"SettingID", CIM_STRING},
    {u"TcpipNetbiosOptions", CIM_UINT32},
    {u"TcpMaxConnectRetransmissions", CIM_UINT32},
    {u"TcpMaxDataRetransmissions", CIM_UINT32},
    {u"TcpNumConnections", CIM_UINT32},
    {u"TcpUseRFC1122UrgentPointer", CIM_BOOLEAN},
    {u"TcpWindowSize", CIM_UINT16},
    {u"WINSEnableLMHostsLookup", CIM_BOOLEAN},
    {u"WINSHostLookupFile", CIM_STRING},
    {u"WINSPrimaryServer", CIM_STRING},
    {u"WINSScopeID", CIM_STRING},
    {u"WINSSecondaryServer", CIM_STRING},
};

using Reader = HRESULT (*)(const WbemClassSchema&, std::vector<WbemRow>*);

struct ClassDefinition {
    const char16_t* name;
    const WbemProperty* properties;
    size_t count;
    Reader read;
};

#define OSTREL_CLASS(name, table, reader) \
    { name, table, sizeof(table) / sizeof(table[0]), reader }

const ClassDefinition kClasses[] = {
    OSTREL_CLASS(u"Win32_OperatingSystem", kOperatingSystem, ReadOperatingSystem),
    OSTREL_CLASS(u"Win32_ComputerSystem", kComputerSystem, ReadComputerSystem),
    OSTREL_CLASS(u"Win32_Processor", kProcessor, ReadProcessors),
    OSTREL_CLASS(u"Win32_BIOS", kBios, ReadBios),
    OSTREL_CLASS(u"Win32_BaseBoard", kBaseBoard, ReadBaseBoard),
    OSTREL_CLASS(u"Win32_LogicalDisk", kLogicalDisk, ReadLogicalDisks),
    OSTREL_CLASS(u"Win32_NetworkAdapterConfiguration", kNetworkAdapterConfiguration,
                 ReadNetworkAdapterConfigurations),
};

#undef OSTREL_CLASS

constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);

// The schemas, built once: the properties sorted by name without regard to case.
const std::vector<std::shared_ptr<const WbemClassSchema>>& Schemas() {
    static std::vector<std::shared_ptr<const WbemClassSchema>>* schemas = [] {
        auto* built = new std::vector<std::shared_ptr<const WbemClassSchema>>();
        for (const ClassDefinition& definition : kClasses) {
            auto schema = std::make_shared<WbemClassSchema>();
            schema->name = definition.name;
            schema->properties.assign(definition.properties,
                                      definition.properties + definition.count);
            std::stable_sort(schema->properties.begin(), schema->properties.end(),
                             [](const WbemProperty& left, const WbemProperty& right) {
                                 return WqlCompareFolded(left.name, right.name) < 0;
                             });
            built->push_back(std::move(schema));
        }
        return built;
    }();  // never destroyed: used until exit
    return *schemas;
}

}  // namespace

bool WbemFindInventoryClass(const std::u16string& name, WbemClassSource* source) {
    for (size_t i = 0; i < kClassCount; ++i) {
        if (WqlSameName(name, kClasses[i].name)) {
            const std::shared_ptr<const WbemClassSchema> schema = Schemas()[i];
            const Reader read = kClasses[i].read;
            source->schema = schema;
            source->read = [schema, read](std::vector<WbemRow>* rows) {
                return read(*schema, rows);
            };
            return true;
        }
    }
    return false;
}

std::vector<std::u16string> WbemInventoryClassNames() {
    std::vector<std::u16string> names;
    for (const ClassDefinition& definition : kClasses) {
        names.push_back(definition.name);
    }
    return names;
}
