// Loading libostrel_ca.so with the dynamic loader. The library links
// libostrel_win32.so, the same instance the host uses, so the actions reach the
// session the host opened.
#include "host/action_library.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace {

// The directory of this program, with its final slash; empty when unknown.
std::string ProgramDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    path[length] = '\0';
    std::string text(path);
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

}  // namespace

ActionLibrary::~ActionLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

bool ActionLibrary::Load(const std::string& path, std::string* error) {
    path_ = path.empty() ? ProgramDirectory() + "libostrel_ca.so" : path;
    // A name without a slash would be searched for on the library path; the
    // library asked for is a file.
    const std::string file = path_.find('/') == std::string::npos ? "./" + path_ : path_;
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        *error = "cannot load " + path_ + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    return true;
}

CustomAction ActionLibrary::Find(const std::string& name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(handle_, name.c_str());
    if (symbol == nullptr) {
        return nullptr;
    }
    // dlsym also finds what the library's dependencies define (HeapAlloc, malloc);
    // only a symbol inside the library's own object is an action.
    link_map* map = nullptr;
    Dl_info info{};
    if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        dladdr(symbol, &info) == 0 || info.dli_fname == nullptr || map->l_name == nullptr ||
        std::strcmp(info.dli_fname, map->l_name) != 0) {
        return nullptr;
    }
    CustomAction action = nullptr;
    static_assert(sizeof action == sizeof symbol, "function and object pointers differ");
    std::memcpy(&action, &symbol, sizeof action);
    return action;
}
