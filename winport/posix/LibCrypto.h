// Linux only: libcrypto, loaded on its first use. Most programs of a fleet never hash nor
// encrypt, and mapping and relocating libcrypto at every start cost them more than their own
// work (an action host's start took three times a trivial program's).
#pragma once

#include <openssl/evp.h>
#include <openssl/provider.h>

namespace winport::posix
{

#define FLEET_LIBCRYPTO_FUNCTIONS(X)                                                               \
    X(OSSL_LIB_CTX_new)                                                                            \
    X(OSSL_PROVIDER_load)                                                                          \
    X(EVP_MD_fetch)                                                                                \
    X(EVP_CIPHER_fetch)                                                                            \
    X(EVP_sha256)                                                                                  \
    X(EVP_Digest)                                                                                  \
    X(EVP_MD_CTX_new)                                                                              \
    X(EVP_MD_CTX_free)                                                                             \
    X(EVP_DigestInit_ex)                                                                           \
    X(EVP_DigestUpdate)                                                                            \
    X(EVP_DigestFinal_ex)                                                                          \
    X(EVP_CIPHER_CTX_new)                                                                          \
    X(EVP_CIPHER_CTX_free)                                                                         \
    X(EVP_CIPHER_CTX_set_key_length)                                                               \
    X(EVP_CipherInit_ex)                                                                           \
    X(EVP_CipherUpdate)

struct SLibCrypto
{
#define FLEET_LIBCRYPTO_MEMBER(name) decltype(&::name) name = nullptr;
    FLEET_LIBCRYPTO_FUNCTIONS(FLEET_LIBCRYPTO_MEMBER)
#undef FLEET_LIBCRYPTO_MEMBER
};

// The library with every function above, or null when it cannot be loaded.
const SLibCrypto* LibCrypto();

} // namespace winport::posix
