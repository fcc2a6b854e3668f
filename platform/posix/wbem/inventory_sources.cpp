// Reading this machine for the inventory classes, and the row builder.
#include "platform/posix/wbem/inventory_sources.h"

#include <dirent.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

struct RootState {
    std::mutex lock;
    std::string root;  // empty: "/"
    std::vector<std::u16string> misfits;
};

RootState& State() {
    static RootState* state = new RootState();  // never destroyed: used until exit
    return *state;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// "value", 'value' or value, as os-release writes them (backslash escapes kept
// simple: the next character as it is).
std::string Unquote(const std::string& text) {
    if (text.size() < 2 || (text[0] != '"' && text[0] != '\'') || text.back() != text[0]) {
        return text;
    }
    std::string value;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size()) {
            ++i;
        }
        value += text[i];
    }
    return value;
}

}  // namespace

void SeamWbemSetInventoryRoot(const std::string& root) {
    RootState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.root = root;
    while (!state.root.empty() && state.root.back() == '/') {
        state.root.pop_back();
    }
}

std::string InventoryPath(const std::string& path) {
    RootState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.root + path;
}

std::optional<std::string> ReadInventoryFile(const std::string& path) {
    std::ifstream in(InventoryPath(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return text.str();
}

std::optional<std::string> ReadInventoryLine(const std::string& path) {
    const std::optional<std::string> text = ReadInventoryFile(path);
    if (!text) {
        return std::nullopt;
    }
    const std::string line = Trim(text->substr(0, text->find('\n')));
    if (line.empty()) {
        return std::nullopt;
    }
    return line;
}

std::optional<std::string> ReadDmi(const char* name) {
    return ReadInventoryLine(std::string("/sys/class/dmi/id/") + name);
}

std::vector<std::string> ListInventoryDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(InventoryPath(path).c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> ReadInventoryLink(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(InventoryPath(path).c_str(), target, sizeof(target) - 1);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(target, static_cast<size_t>(length));
}

std::map<std::string, std::string> ReadOsRelease() {
    std::map<std::string, std::string> fields;
    std::optional<std::string> text = ReadInventoryFile("/etc/os-release");
    if (!text) {
        text = ReadInventoryFile("/usr/lib/os-release");
    }
    if (!text) {
        return fields;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        fields[line.substr(0, equals)] = Unquote(line.substr(equals + 1));
    }
    return fields;
}

std::optional<uint64_t> MemInfoKiB(const char* field) {
    const std::optional<std::string> text = ReadInventoryFile("/proc/meminfo");
    if (!text) {
        return std::nullopt;
    }
    std::istringstream lines(*text);
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            unsigned long long value = 0;
            if (std::sscanf(line.c_str() + key.size(), "%llu", &value) == 1) {
                return value;
            }
        }
    }
    return std::nullopt;
}

std::optional<time_t> BootTime() {
    const std::optional<std::string> text = ReadInventoryFile("/proc/stat");
    if (!text) {
        return std::nullopt;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        long long seconds = 0;
        if (std::sscanf(line.c_str(), "btime %lld", &seconds) == 1) {
            return static_cast<time_t>(seconds);
        }
    }
    return std::nullopt;
}

std::vector<CpuInfoBlock> ReadCpuInfo() {
    std::vector<CpuInfoBlock> blocks;
    const std::optional<std::string> text = ReadInventoryFile("/proc/cpuinfo");
    if (!text) {
        return blocks;
    }
    std::istringstream lines(*text);
    std::string line;
    CpuInfoBlock block;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (Trim(line).empty() || colon == std::string::npos) {
            if (block.count("processor") != 0) {
                blocks.push_back(block);
            }
            block.clear();
            continue;
        }
        block[Trim(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    if (block.count("processor") != 0) {
        blocks.push_back(block);
    }
    return blocks;
}

MachineName ReadMachineName() {
    MachineName name;
    utsname system = {};
    if (uname(&system) == 0) {
        name.node = system.nodename;
        name.release = system.release;
        name.machine = system.machine;
#ifdef _GNU_SOURCE
        name.domain = system.domainname;
#endif
        if (name.domain == "(none)") {
            name.domain.clear();
        }
    }
    return name;
}

int MachineWidth(const std::string& machine) {
    return (machine == "x86_64" || machine == "aarch64" || machine == "ppc64le" ||
            machine == "s390x" || machine == "riscv64")
               ? 64
               : 32;
}

int LocalOffsetMinutes(time_t when, bool* daylightSaving) {
    tm local = {};
    localtime_r(&when, &local);
    if (daylightSaving != nullptr) {
        *daylightSaving = local.tm_isdst > 0;
    }
    return static_cast<int>(local.tm_gmtoff / 60);
}

std::string DmtfLocalTime(time_t when) {
    tm local = {};
    localtime_r(&when, &local);
    const int offset = static_cast<int>(local.tm_gmtoff / 60);
    char text[80];
    std::snprintf(text, sizeof(text), "%04d%02d%02d%02d%02d%02d.000000%c%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  offset < 0 ? '-' : '+', offset < 0 ? -offset : offset);
    return text;
}

std::optional<std::string> DmtfFromDmiDate(const std::string& date) {
    unsigned month = 0;
    unsigned day = 0;
    unsigned year = 0;
    char rest = 0;
    if (std::sscanf(date.c_str(), "%2u/%2u/%4u%c", &month, &day, &year, &rest) != 3 || month < 1 ||
        month > 12 || day < 1 || day > 31 || year < 1000) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%04u%02u%02u000000.000000+000", year, month, day);
    return std::string(text);
}

InventoryRow::InventoryRow(const WbemClassSchema& schema)
    : schema_(schema), values_(schema.properties.size()) {}

WbemRow InventoryRow::Take() {
    InventoryNoteMisfits(misfits_);
    misfits_.clear();
    return std::move(values_);
}

bool InventoryRow::Find(const char16_t* name, size_t* index, CIMTYPE* type) {
    for (size_t i = 0; i < schema_.properties.size(); ++i) {
        if (schema_.properties[i].name == name) {
            *index = i;
            *type = schema_.properties[i].type;
            return true;
        }
    }
    Misfit(name);
    return false;
}

void InventoryRow::Text(const char16_t* name, const std::optional<std::string>& value) {
    size_t index = 0;
    CIMTYPE type = CIM_EMPTY;
    if (!Find(name, &index, &type)) {
        return;
    }
    if (type != CIM_STRING && type != CIM_DATETIME) {
        Misfit(name);
        return;
    }
    if (value) {
        values_[index] = WbemValue::Text(Utf8ToUtf16(*value));
    }
}

void InventoryRow::Number(const char16_t* name, std::optional<int64_t> value) {
    size_t index = 0;
    CIMTYPE type = CIM_EMPTY;
    if (!Find(name, &index, &type)) {
        return;
    }
    const VARTYPE vt = WbemVarTypeOf(type);
    if (type == CIM_SINT64 || type == CIM_UINT64) {
        if (value) {
            values_[index] = WbemValue::Text(Utf8ToUtf16(std::to_string(*value)));
        }
    } else if (vt == VT_I4 || vt == VT_I2 || vt == VT_UI1) {
        if (value) {
            values_[index] = WbemValue::Integer(vt, *value);
        }
    } else {
        Misfit(name);
    }
}

void InventoryRow::Unsigned(const char16_t* name, std::optional<uint64_t> value) {
    size_t index = 0;
    CIMTYPE type = CIM_EMPTY;
    if (!Find(name, &index, &type)) {
        return;
    }
    if (type != CIM_UINT64) {
        Misfit(name);
        return;
    }
    if (value) {
        values_[index] = WbemValue::Text(Utf8ToUtf16(std::to_string(*value)));
    }
}

void InventoryRow::Bool(const char16_t* name, std::optional<bool> value) {
    size_t index = 0;
    CIMTYPE type = CIM_EMPTY;
    if (!Find(name, &index, &type)) {
        return;
    }
    if (type != CIM_BOOLEAN) {
        Misfit(name);
        return;
    }
    if (value) {
        values_[index] = WbemValue::Bool(*value);
    }
}

void InventoryRow::Texts(const char16_t* name, const std::vector<std::string>& values) {
    size_t index = 0;
    CIMTYPE type = CIM_EMPTY;
    if (!Find(name, &index, &type)) {
        return;
    }
    if (type != (CIM_STRING | CIM_FLAG_ARRAY)) {
        Misfit(name);
        return;
    }
    if (values.empty()) {
        return;  // WMI gives an empty list as no value
    }
    std::vector<WbemValue> elements;
    for (const std::string& value : values) {
        elements.push_back(WbemValue::Text(Utf8ToUtf16(value)));
    }
    values_[index] = WbemValue::Array(VT_BSTR, std::move(elements));
}

std::vector<std::u16string> InventoryMisfits() {
    RootState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.misfits;
}

void InventoryNoteMisfits(const std::vector<std::u16string>& misfits) {
    if (misfits.empty()) {
        return;
    }
    RootState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.misfits.insert(state.misfits.end(), misfits.begin(), misfits.end());
}

std::u16string WbemComputerName() {
    return Utf8ToUtf16(ReadMachineName().node);
}
