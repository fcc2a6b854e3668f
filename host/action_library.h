// Loading the custom action library and finding an action in it by name.
#ifndef OSTREL_HOST_ACTION_LIBRARY_H
#define OSTREL_HOST_ACTION_LIBRARY_H

#include <string>

#include "platform/posix/win32_msi.h"

// The signature of every export: the install handle in, the exit code out.
typedef UINT (*CustomAction)(MSIHANDLE install);

class ActionLibrary {
  public:
    ActionLibrary() = default;
    ~ActionLibrary();
    ActionLibrary(const ActionLibrary&) = delete;
    ActionLibrary& operator=(const ActionLibrary&) = delete;

    // Loads the library at `path`, or libostrel_ca.so beside this program when
    // `path` is empty. On failure `error` holds a one-line reason.
    bool Load(const std::string& path, std::string* error);

    // The action exported by the library itself under `name` (symbols that come
    // from the libraries it depends on do not count), or null.
    CustomAction Find(const std::string& name) const;

    const std::string& path() const { return path_; }

  private:
    void* handle_ = nullptr;
    std::string path_;
};

#endif  // OSTREL_HOST_ACTION_LIBRARY_H
