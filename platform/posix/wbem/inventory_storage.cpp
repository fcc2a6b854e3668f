// Win32_LogicalDisk: one row per mounted file system that Windows would show as a
// drive, in /proc/mounts order: the file system mounted at "/" whatever it is, file
// systems on block devices (/dev/..., loop devices aside), and network file
// systems (NFS, SMB/CIFS, sshfs). A mount point mounted over again counts once, at
// its last mount.
//
//   DeviceID, Name and Caption the mount point; FileSystem the file system type;
//   DriveType 4 (network), 2 (removable, the device's removable flag in
//   /sys/class/block) or 3 (local disk), with its Description and MediaType;
//   ProviderName the network source; Size and FreeSpace (the space available to
//   users) from statvfs in bytes, MaximumComponentLength its name limit; Access
//   1 (read-only) or 3 (read and write) from the mount options; VolumeName and
//   VolumeSerialNumber the device's label and UUID from /dev/disk/by-label and
//   /dev/disk/by-uuid.
#include <sys/statvfs.h>

#include <cstdio>
#include <sstream>

#include "platform/posix/wbem/inventory_sources.h"

namespace {

struct Mount {
    std::string source;
    std::string target;
    std::string type;
    std::string options;
};

// /proc/mounts writes blanks and backslashes in paths as octal escapes (\040).
std::string Unescape(const std::string& text) {
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                       (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

bool IsNetworkType(const std::string& type) {
    return type == "nfs" || type == "nfs4" || type == "cifs" || type == "smb3" || type == "smbfs" ||
           type == "fuse.sshfs";
}

bool IsDriveMount(const Mount& mount) {
    if (mount.target == "/" || IsNetworkType(mount.type)) {
        return true;
    }
    return mount.source.compare(0, 5, "/dev/") == 0 && mount.source.compare(0, 9, "/dev/loop") != 0;
}

std::vector<Mount> DriveMounts() {
    std::vector<Mount> mounts;
    const std::optional<std::string> text = ReadInventoryFile("/proc/mounts");
    if (!text) {
        return mounts;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Mount mount;
        if (!(fields >> mount.source >> mount.target >> mount.type >> mount.options)) {
            continue;
        }
        mount.source = Unescape(mount.source);
        mount.target = Unescape(mount.target);
        if (!IsDriveMount(mount)) {
            continue;
        }
        for (auto it = mounts.begin(); it != mounts.end(); ++it) {
            if (it->target == mount.target) {
                mounts.erase(it);
                break;
            }
        }
        mounts.push_back(mount);
    }
    return mounts;
}

// Whether the block device (or, for a partition, its disk) is removable.
bool IsRemovable(const std::string& device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    std::optional<std::string> flag = ReadInventoryLine("/sys/class/block/" + name + "/removable");
    if (!flag) {
        // A partition: its disk is the directory the partition lives in.
        flag = ReadInventoryLine("/sys/class/block/" + name + "/../removable");
    }
    return flag && *flag == "1";
}

// The name in /dev/disk/<folder> whose link leads to the device: its label or UUID.
std::optional<std::string> DiskAlias(const std::string& folder, const std::string& device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    const std::string base = "/dev/disk/" + folder + "/";
    for (const std::string& alias : ListInventoryDirectory(base)) {
        const std::optional<std::string> target = ReadInventoryLink(base + alias);
        if (target && target->substr(target->rfind('/') + 1) == name) {
            return Unescape(alias);
        }
    }
    return std::nullopt;
}

bool HasOption(const std::string& options, const char* option) {
    return ("," + options + ",").find("," + std::string(option) + ",") != std::string::npos;
}

}  // namespace

HRESULT ReadLogicalDisks(const WbemClassSchema& schema, std::vector<WbemRow>* rows) {
    const MachineName machine = ReadMachineName();
    for (const Mount& mount : DriveMounts()) {
        InventoryRow row(schema);
        row.Text(u"DeviceID", mount.target);
        row.Text(u"Name", mount.target);
        row.Text(u"Caption", mount.target);
        row.Text(u"FileSystem", mount.type);

        int64_t driveType = 3;
        if (IsNetworkType(mount.type)) {
            driveType = 4;
            row.Text(u"Description", "Network Connection");
            row.Text(u"ProviderName", mount.source);
        } else if (mount.source.compare(0, 5, "/dev/") == 0 && IsRemovable(mount.source)) {
            driveType = 2;
            row.Text(u"Description", "Removable Disk");
            row.Number(u"MediaType", 11);  // removable media
        } else {
            row.Text(u"Description", "Local Fixed Disk");
            row.Number(u"MediaType", 12);  // fixed hard disk
        }
        row.Number(u"DriveType", driveType);
        if (mount.source.compare(0, 5, "/dev/") == 0) {
            row.Text(u"VolumeName", DiskAlias("by-label", mount.source));
            row.Text(u"VolumeSerialNumber", DiskAlias("by-uuid", mount.source));
        }

        struct statvfs space = {};
        if (statvfs(InventoryPath(mount.target).c_str(), &space) == 0) {
            const uint64_t unit = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
            row.Unsigned(u"Size", static_cast<uint64_t>(space.f_blocks) * unit);
            row.Unsigned(u"FreeSpace", static_cast<uint64_t>(space.f_bavail) * unit);
            row.Number(u"MaximumComponentLength", static_cast<int64_t>(space.f_namemax));
        }
        row.Number(u"Access", HasOption(mount.options, "ro") ? 1 : 3);
        row.Bool(u"Compressed", false);
        row.Text(u"CreationClassName", "Win32_LogicalDisk");
        row.Text(u"SystemCreationClassName", "Win32_ComputerSystem");
        row.Text(u"SystemName", machine.node);
        rows->push_back(row.Take());
    }
    return S_OK;
}
