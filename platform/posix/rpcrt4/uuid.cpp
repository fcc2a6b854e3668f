// RPC UUIDs: UuidCreate makes random version-4 UUIDs from the kernel's random
// source; UuidToStringW gives their 36-character lower-case text in a string the
// RPC runtime owns until RpcStringFreeW.
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_base.h"

namespace {

std::mutex g_uuidLock;
std::deque<UUID> g_queuedUuids;

bool FillRandom(void* bytes, size_t count) {
    auto* out = static_cast<unsigned char*>(bytes);
    size_t done = 0;
    while (done < count) {
        const ssize_t got = getrandom(out + done, count - done, 0);
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

void SeamQueueUuids(const std::vector<UUID>& uuids) {
    std::lock_guard<std::mutex> guard(g_uuidLock);
    g_queuedUuids.insert(g_queuedUuids.end(), uuids.begin(), uuids.end());
}

RPC_STATUS UuidCreate(UUID* uuid) {
    {
        std::lock_guard<std::mutex> guard(g_uuidLock);
        if (!g_queuedUuids.empty()) {
            *uuid = g_queuedUuids.front();
            g_queuedUuids.pop_front();
        } else {
            unsigned char bytes[16];
            if (!FillRandom(bytes, sizeof bytes)) {
                return RPC_S_UUID_NO_ADDRESS;
            }
            bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
            bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
            uuid->Data1 = (static_cast<uint32_t>(bytes[0]) << 24) | (bytes[1] << 16) |
                          (bytes[2] << 8) | bytes[3];
            uuid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
            uuid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
            std::memcpy(uuid->Data4, bytes + 8, 8);
        }
    }
    // An armed status is answered after the UUID was made, as RPC_S_UUID_LOCAL_ONLY
    // comes with a usable UUID.
    uint32_t code = 0;
    if (SeamCallFails("UuidCreate", &code)) {
        return static_cast<RPC_STATUS>(code);
    }
    return RPC_S_OK;
}

RPC_STATUS UuidToStringW(const UUID* uuid, RPC_WSTR* text) {
    uint32_t code = 0;
    if (SeamCallFails("UuidToStringW", &code)) {
        return static_cast<RPC_STATUS>(code);
    }
    char narrow[37];
    std::snprintf(narrow, sizeof narrow, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  uuid->Data1, uuid->Data2, uuid->Data3, uuid->Data4[0], uuid->Data4[1],
                  uuid->Data4[2], uuid->Data4[3], uuid->Data4[4], uuid->Data4[5], uuid->Data4[6],
                  uuid->Data4[7]);
    auto* wide = new (std::nothrow) WCHAR[37];
    if (wide == nullptr) {
        return RPC_S_OUT_OF_MEMORY;
    }
    for (size_t i = 0; i < 37; ++i) {
        wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));
    }
    *text = wide;
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* text) {
    if (text != nullptr) {
        delete[] * text;
        *text = nullptr;
    }
    return RPC_S_OK;
}
