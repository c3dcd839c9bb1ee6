// loader.cpp - loads the extension library and finds its entry points, the
// way the Kel interpreter binds each Kel name to Fn<Name>.
#include <dlfcn.h>

#include <string>

#include "kelhost/kelhost.h"

namespace {
std::string g_lastError;
}

extern "C" {

void *kelhost_open(const char *path) {
    if (!path || !*path) {
        g_lastError = "kelhost_open: no library path";
        return nullptr;
    }
    // RTLD_LOCAL: the library's own exports stay private to lookups through
    // this handle, while its undefined host symbols resolve against the
    // host runtime already loaded in the process.
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *e = dlerror();
        g_lastError = e ? e : "dlopen failed";
    }
    return handle;
}

void kelhost_close(void *handle) {
    if (handle) dlclose(handle);
}

const char *kelhost_last_error(void) { return g_lastError.c_str(); }

void *kelhost_symbol(void *handle, const char *name) {
    if (!handle || !name) return nullptr;
    dlerror();
    return dlsym(handle, name);
}

KelHostFunction kelhost_lookup(void *handle, const char *name) {
    if (!name) return nullptr;
    std::string entry = std::string("Fn") + name;
    void *sym = kelhost_symbol(handle, entry.c_str());
    KelHostFunction fn;
    static_assert(sizeof fn == sizeof sym, "function and data pointers differ in size");
    __builtin_memcpy(&fn, &sym, sizeof fn);
    return fn;
}

}  // extern "C"
