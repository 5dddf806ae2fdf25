#include "DynamicLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace platform {

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string full(path, static_cast<size_t>(length));
    const size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

LibraryHandle LoadLibraryByName(const std::string& fileName) {
    if (fileName.empty() || fileName.find('/') != std::string::npos) {
        return nullptr;
    }
    if (void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return handle;
    }
    const std::string besideProgram = ProgramFolder() + "/" + fileName;
    return dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindEntry(LibraryHandle handle, const char* name) {
    if (handle == nullptr || name == nullptr) {
        return nullptr;
    }
    return dlsym(handle, name);
}

void FreeLibrary(LibraryHandle handle) {
    if (handle != nullptr) {
        dlclose(handle);
    }
}

}  // namespace platform
