#include "winport/posix/LibCrypto.h"

#include <openssl/opensslv.h>

#include <dlfcn.h>

#include <bit>

static_assert(OPENSSL_VERSION_MAJOR == 3, "the library's name below is that of OpenSSL 3");

namespace winport::posix
{

const SLibCrypto* LibCrypto()
{
    static const SLibCrypto* s_pLibrary = []() -> const SLibCrypto*
    {
        // Never closed: its functions and objects live as long as the process.
        void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return nullptr;
        auto* library = new SLibCrypto();
        bool complete = true;
#define FLEET_LIBCRYPTO_RESOLVE(name)                                                              \
    library->name = std::bit_cast<decltype(&::name)>(dlsym(handle, #name));                        \
    complete = complete && library->name != nullptr;
        FLEET_LIBCRYPTO_FUNCTIONS(FLEET_LIBCRYPTO_RESOLVE)
#undef FLEET_LIBCRYPTO_RESOLVE
        if (complete)
            return library;
        delete library;
        return nullptr;
    }();
    return s_pLibrary;
}

} // namespace winport::posix
