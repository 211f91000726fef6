// Linux only: the CryptoAPI subset over OpenSSL libcrypto, loaded on first use (RC4 from its
// legacy provider, in a library context of our own so that the process default stays
// untouched); random bytes and GUIDs from the kernel.
#include "winport/WinCrypt.h"

#include "winport/Objbase.h"
#include "winport/WinBase.h"
#include "winport/WinString.h"

#include "winport/posix/LibCrypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace
{

constexpr uint32_t kProviderMagic = 0x50524F56;
constexpr uint32_t kHashMagic = 0x48415348;
constexpr uint32_t kKeyMagic = 0x4B455920;

struct SProvider
{
    uint32_t magic = kProviderMagic;
};

struct SHash
{
    uint32_t magic = kHashMagic;
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    unsigned char value[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
};

struct SKey
{
    uint32_t magic = kKeyMagic;
    std::vector<unsigned char> material;
    EVP_CIPHER_CTX* stream = nullptr; // null until the first call after a reset
};

struct SLibrary
{
    const winport::posix::SLibCrypto* api = nullptr;
    OSSL_LIB_CTX* context = nullptr;
    EVP_CIPHER* rc4 = nullptr;
    EVP_MD* md5 = nullptr;
};

const SLibrary& Library()
{
    static SLibrary s_Library = []
    {
        SLibrary library;
        library.api = winport::posix::LibCrypto();
        if (library.api == nullptr)
            return library;
        library.context = library.api->OSSL_LIB_CTX_new();
        if (library.context == nullptr)
            return library;
        library.api->OSSL_PROVIDER_load(library.context, "default");
        library.api->OSSL_PROVIDER_load(library.context, "legacy");
        library.md5 = library.api->EVP_MD_fetch(library.context, "MD5", nullptr);
        library.rc4 = library.api->EVP_CIPHER_fetch(library.context, "RC4", nullptr);
        return library;
    }();
    return s_Library;
}

// Only reached through a hash or a key, which exist only when the library has loaded.
const winport::posix::SLibCrypto& Api()
{
    return *Library().api;
}

bool RandomBytes(unsigned char* buffer, size_t length)
{
    while (length > 0)
    {
        ssize_t got = getrandom(buffer, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// Live handles and their kinds: a stale, foreign or made-up value is refused without being
// read through.
std::mutex s_HandleLock;
std::unordered_map<ULONG_PTR, uint32_t>& LiveHandles()
{
    static auto* s_pHandles = new std::unordered_map<ULONG_PTR, uint32_t>();
    return *s_pHandles;
}

template <class T> ULONG_PTR Register(T* object)
{
    std::lock_guard<std::mutex> guard(s_HandleLock);
    ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(object);
    LiveHandles()[handle] = object->magic;
    return handle;
}

template <class T> T* Cast(ULONG_PTR handle, uint32_t magic)
{
    std::lock_guard<std::mutex> guard(s_HandleLock);
    auto it = LiveHandles().find(handle);
    return it != LiveHandles().end() && it->second == magic ? reinterpret_cast<T*>(handle)
                                                            : nullptr;
}

// Takes a handle out of the live set; only one caller gets the object to free.
template <class T> T* Take(ULONG_PTR handle, uint32_t magic)
{
    std::lock_guard<std::mutex> guard(s_HandleLock);
    auto it = LiveHandles().find(handle);
    if (it == LiveHandles().end() || it->second != magic)
        return nullptr;
    LiveHandles().erase(it);
    return reinterpret_cast<T*>(handle);
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

bool KnownProvider(LPCWSTR name)
{
    return name == nullptr || wcscmp(name, MS_DEF_PROV_W) == 0 ||
           wcscmp(name, MS_ENHANCED_PROV_W) == 0 || wcscmp(name, MS_STRONG_PROV_W) == 0;
}

BOOL RunStream(SKey* key, BOOL final, BYTE* data, DWORD length)
{
    if (key->stream == nullptr)
    {
        key->stream = Api().EVP_CIPHER_CTX_new();
        if (key->stream == nullptr ||
            Api().EVP_CipherInit_ex(key->stream, Library().rc4, nullptr, nullptr, nullptr, 1) !=
                1 ||
            Api().EVP_CIPHER_CTX_set_key_length(key->stream,
                                                static_cast<int>(key->material.size())) != 1 ||
            Api().EVP_CipherInit_ex(key->stream, nullptr, nullptr, key->material.data(), nullptr,
                                    1) != 1)
        {
            Api().EVP_CIPHER_CTX_free(key->stream);
            key->stream = nullptr;
            return Fail(static_cast<DWORD>(NTE_BAD_KEY));
        }
    }
    int produced = 0;
    if (length > 0 &&
        Api().EVP_CipherUpdate(key->stream, data, &produced, data, static_cast<int>(length)) != 1)
        return Fail(static_cast<DWORD>(NTE_FAIL));
    if (final)
    {
        Api().EVP_CIPHER_CTX_free(key->stream);
        key->stream = nullptr;
    }
    return TRUE;
}

} // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR, LPCWSTR providerName, DWORD providerType,
                          DWORD flags)
{
    if (provider == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (providerType != PROV_RSA_FULL && providerType != PROV_RSA_AES)
        return Fail(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    if (!KnownProvider(providerName))
        return Fail(static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    if ((flags & ~(CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET)) != 0)
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    *provider = Register(new SProvider());
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD)
{
    SProvider* p = Take<SProvider>(provider, kProviderMagic);
    if (p == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    delete p;
    return TRUE;
}

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer)
{
    if (Cast<SProvider>(provider, kProviderMagic) == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (length == 0)
        return TRUE;
    if (buffer == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!RandomBytes(buffer, length))
        return Fail(static_cast<DWORD>(NTE_FAIL));
    return TRUE;
}

BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash)
{
    if (Cast<SProvider>(provider, kProviderMagic) == nullptr || hash == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (algorithm != CALG_MD5 || key != 0 || flags != 0)
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    if (Library().md5 == nullptr)
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    auto* h = new SHash();
    h->context = Api().EVP_MD_CTX_new();
    if (h->context == nullptr || Api().EVP_DigestInit_ex(h->context, Library().md5, nullptr) != 1)
    {
        Api().EVP_MD_CTX_free(h->context);
        delete h;
        return Fail(static_cast<DWORD>(NTE_FAIL));
    }
    *hash = Register(h);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD)
{
    SHash* h = Cast<SHash>(hash, kHashMagic);
    if (h == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (h->finished)
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    if (length > 0 && (data == nullptr || Api().EVP_DigestUpdate(h->context, data, length) != 1))
        return Fail(static_cast<DWORD>(NTE_FAIL));
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash)
{
    SHash* h = Take<SHash>(hash, kHashMagic);
    if (h == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    Api().EVP_MD_CTX_free(h->context);
    delete h;
    return TRUE;
}

BOOL CryptDeriveKey(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTHASH hash, DWORD flags,
                    HCRYPTKEY* key)
{
    SHash* h = Cast<SHash>(hash, kHashMagic);
    if (Cast<SProvider>(provider, kProviderMagic) == nullptr || h == nullptr || key == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (algorithm != CALG_RC4 || Library().rc4 == nullptr)
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    unsigned bits = flags >> 16;
    if (bits == 0)
        bits = 128;
    if (bits < 40 || bits > 128 || bits % 8 != 0)
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (!h->finished)
    {
        if (Api().EVP_DigestFinal_ex(h->context, h->value, &h->length) != 1)
            return Fail(static_cast<DWORD>(NTE_FAIL));
        h->finished = true;
    }
    auto* k = new SKey();
    k->material.assign(h->value, h->value + bits / 8);
    if (bits < 128 && (flags & CRYPT_NO_SALT) == 0)
        k->material.resize(16, 0); // the base provider's zero salt
    *key = Register(k);
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY key)
{
    SKey* k = Take<SKey>(key, kKeyMagic);
    if (k == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    Api().EVP_CIPHER_CTX_free(k->stream);
    delete k;
    return TRUE;
}

BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD, BYTE* data, DWORD* dataLength,
                  DWORD bufferLength)
{
    SKey* k = Cast<SKey>(key, kKeyMagic);
    if (k == nullptr || hash != 0)
        return Fail(ERROR_INVALID_HANDLE);
    if (dataLength == nullptr || (data == nullptr && *dataLength > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (*dataLength > bufferLength)
        return Fail(ERROR_MORE_DATA);
    return RunStream(k, final, data, *dataLength);
}

BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD, BYTE* data, DWORD* dataLength)
{
    SKey* k = Cast<SKey>(key, kKeyMagic);
    if (k == nullptr || hash != 0)
        return Fail(ERROR_INVALID_HANDLE);
    if (dataLength == nullptr || (data == nullptr && *dataLength > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    return RunStream(k, final, data, *dataLength);
}

HRESULT CoCreateGuid(GUID* guid)
{
    if (guid == nullptr)
        return E_FAIL;
    unsigned char bytes[16];
    if (!RandomBytes(bytes, sizeof bytes))
        return E_FAIL;
    bytes[7] = static_cast<unsigned char>((bytes[7] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    memcpy(&guid->Data1, bytes, 4);
    memcpy(&guid->Data2, bytes + 4, 2);
    memcpy(&guid->Data3, bytes + 6, 2);
    memcpy(guid->Data4, bytes + 8, 8);
    return S_OK;
}
