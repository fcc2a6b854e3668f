// Win32_NetworkAdapterConfiguration: one row per network interface of
// /sys/class/net except loopback, in interface-index order.
//
//   Index and InterfaceIndex the interface index; Description and SettingID the
//   interface name, Caption "[%08u] name" as Windows writes it; ServiceName the
//   driver (/sys/class/net/<name>/device/driver); MACAddress the hardware address
//   in upper case; MTU; IPAddress and IPSubnet from getifaddrs (IPv4 addresses with
//   dotted masks, then IPv6 with prefix lengths, as Windows lists them);
//   IPEnabled when the interface is up and has an address; DefaultIPGateway the
//   default routes of /proc/net/route through it; DNSHostName the host name; and,
//   for an interface with IP enabled, DNSServerSearchOrder, DNSDomain and
//   DNSDomainSuffixSearchOrder from /etc/resolv.conf.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>

#include "platform/posix/wbem/inventory_sources.h"

namespace {

struct Addresses {
    std::vector<std::string> v4, v4Masks, v6, v6Prefixes;
};

// The addresses of interface `name` as getifaddrs reports them.
Addresses AddressesOf(const struct ifaddrs* list, const std::string& name) {
    Addresses found;
    for (const struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || name != entry->ifa_name) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text));
            found.v4.push_back(text);
            std::string mask;
            if (entry->ifa_netmask != nullptr) {
                const auto* netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
                inet_ntop(AF_INET, &netmask->sin_addr, text, sizeof(text));
                mask = text;
            }
            found.v4Masks.push_back(mask);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof(text));
            found.v6.push_back(text);
            int prefix = 0;
            if (entry->ifa_netmask != nullptr) {
                const auto* netmask = reinterpret_cast<const sockaddr_in6*>(entry->ifa_netmask);
                for (unsigned char byte : netmask->sin6_addr.s6_addr) {
                    for (; byte != 0; byte = static_cast<unsigned char>(byte << 1)) {
                        prefix += (byte & 0x80) ? 1 : 0;
                    }
                }
            }
            found.v6Prefixes.push_back(std::to_string(prefix));
        }
    }
    return found;
}

// The gateways of the default routes through `name` in /proc/net/route.
std::vector<std::string> DefaultGateways(const std::string& name) {
    std::vector<std::string> gateways;
    const std::optional<std::string> text = ReadInventoryFile("/proc/net/route");
    if (!text) {
        return gateways;
    }
    std::istringstream lines(*text);
    std::string line;
    std::getline(lines, line);  // the column names
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway;
        if (!(fields >> iface >> destination >> gateway) || iface != name ||
            destination != "00000000") {
            continue;
        }
        // The address in the kernel's byte order, written as one hexadecimal word.
        const unsigned long word = std::strtoul(gateway.c_str(), nullptr, 16);
        in_addr address = {};
        address.s_addr = static_cast<in_addr_t>(word);
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, dotted, sizeof(dotted));
        gateways.push_back(dotted);
    }
    return gateways;
}

struct Resolver {
    std::vector<std::string> servers;
    std::vector<std::string> search;
    std::optional<std::string> domain;
};

Resolver ReadResolver() {
    Resolver resolver;
    const std::optional<std::string> text = ReadInventoryFile("/etc/resolv.conf");
    if (!text) {
        return resolver;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string keyword;
        fields >> keyword;
        std::string value;
        if (keyword == "nameserver" && fields >> value) {
            resolver.servers.push_back(value);
        } else if (keyword == "domain" && fields >> value) {
            resolver.domain = value;
        } else if (keyword == "search") {
            resolver.search.clear();
            while (fields >> value) {
                resolver.search.push_back(value);
            }
        }
    }
    if (!resolver.domain && !resolver.search.empty()) {
        resolver.domain = resolver.search.front();
    }
    return resolver;
}

struct Interface {
    std::string name;
    int64_t index;
};

}  // namespace

HRESULT ReadNetworkAdapterConfigurations(const WbemClassSchema& schema,
                                         std::vector<WbemRow>* rows) {
    std::vector<Interface> interfaces;
    for (const std::string& name : ListInventoryDirectory("/sys/class/net")) {
        const std::string base = "/sys/class/net/" + name + "/";
        const std::optional<std::string> type = ReadInventoryLine(base + "type");
        const std::optional<std::string> index = ReadInventoryLine(base + "ifindex");
        if (!index || (type && *type == "772")) {  // 772: ARPHRD_LOOPBACK
            continue;
        }
        interfaces.push_back(Interface{name, std::atoll(index->c_str())});
    }
    std::sort(
        interfaces.begin(), interfaces.end(),
        [](const Interface& left, const Interface& right) { return left.index < right.index; });

    struct ifaddrs* addressList = nullptr;
    if (getifaddrs(&addressList) != 0) {
        addressList = nullptr;
    }
    const std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> owner(
        addressList, [](struct ifaddrs* held) {
            if (held != nullptr) {
                freeifaddrs(held);
            }
        });
    const struct ifaddrs* list = addressList;
    const MachineName machine = ReadMachineName();
    const Resolver resolver = ReadResolver();
    for (const Interface& interface : interfaces) {
        const std::string base = "/sys/class/net/" + interface.name + "/";
        InventoryRow row(schema);
        char caption[32];
        std::snprintf(caption, sizeof(caption), "[%08lld] ",
                      static_cast<long long>(interface.index));
        row.Number(u"Index", interface.index);
        row.Number(u"InterfaceIndex", interface.index);
        row.Text(u"Caption", caption + interface.name);
        row.Text(u"Description", interface.name);
        row.Text(u"SettingID", interface.name);
        const std::optional<std::string> driver = ReadInventoryLink(base + "device/driver");
        if (driver) {
            row.Text(u"ServiceName", driver->substr(driver->rfind('/') + 1));
        }
        std::optional<std::string> mac = ReadInventoryLine(base + "address");
        if (mac && *mac != "00:00:00:00:00:00") {
            std::transform(mac->begin(), mac->end(), mac->begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            row.Text(u"MACAddress", mac);
        }
        const std::optional<std::string> mtu = ReadInventoryLine(base + "mtu");
        if (mtu) {
            row.Number(u"MTU", std::atoll(mtu->c_str()));
        }
        row.Text(u"DNSHostName", machine.node);

        const Addresses addresses = AddressesOf(list, interface.name);
        std::vector<std::string> all = addresses.v4;
        all.insert(all.end(), addresses.v6.begin(), addresses.v6.end());
        std::vector<std::string> subnets = addresses.v4Masks;
        subnets.insert(subnets.end(), addresses.v6Prefixes.begin(), addresses.v6Prefixes.end());
        const std::optional<std::string> state = ReadInventoryLine(base + "operstate");
        const bool enabled = !all.empty() && state && (*state == "up" || *state == "unknown");
        row.Bool(u"IPEnabled", enabled);
        if (enabled) {
            row.Texts(u"IPAddress", all);
            row.Texts(u"IPSubnet", subnets);
            row.Texts(u"DefaultIPGateway", DefaultGateways(interface.name));
            row.Texts(u"DNSServerSearchOrder", resolver.servers);
            row.Texts(u"DNSDomainSuffixSearchOrder", resolver.search);
            row.Text(u"DNSDomain", resolver.domain);
        }
        rows->push_back(row.Take());
    }
    return S_OK;
}
