#pragma once

#include <string>

namespace platform {

using LibraryHandle = void*;

// Loads a shared library by file name ("libKYR_Codec.so"): first by the system's search
// order, then from the folder of the running program. Returns nullptr when it is missing.
LibraryHandle LoadLibraryByName(const std::string& fileName);

// Looks an entry point up by name; nullptr when the library lacks it or handle is nullptr.
void* FindEntry(LibraryHandle handle, const char* name);

// FindEntry into a typed function pointer; false when the entry is missing.
template <typename Function>
bool FindEntryAs(LibraryHandle handle, const char* name, Function* entry) {
    *entry = reinterpret_cast<Function>(FindEntry(handle, name));
    return *entry != nullptr;
}

void FreeLibrary(LibraryHandle handle);

// The folder that holds the running program, without a trailing slash.
std::string ProgramFolder();

}  // namespace platform
