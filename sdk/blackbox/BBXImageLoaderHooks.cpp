// dlopen and dlclose of the executable: exported from it (see
// tavlo_export_image_loader_hooks in CMakeLists.txt), they stand before the C
// library's for every library of the process, Qt's plugin loader too, so the
// image table changes before a load or unload returns.
#include <dlfcn.h>

#include "sdk/blackbox/BBXBinaryImage.h"

namespace {

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    static auto real = next<void* (*)(const char*, int)>("dlopen");
    void* handle = real(file, mode);
    if (handle) BBXBinaryImageRescan();
    return handle;
}

__attribute__((visibility("default"))) int dlclose(void* handle) {
    static auto real = next<int (*)(void*)>("dlclose");
    int result = real(handle);
    if (result == 0) BBXBinaryImageRescan();
    return result;
}

}
