// CryptoAPI subset: providers, random bytes, MD5 hashes and RC4 keys derived from them.
#pragma once

#include "winport/WinTypes.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_NO_SALT 0x00000010
#define CRYPT_EXPORTABLE 0x00000001
#define CALG_MD5 0x00008003
#define CALG_RC4 0x00006801
#define MS_DEF_PROV_W L"Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W L"Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_W L"Microsoft Strong Cryptographic Provider"

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName,
                          DWORD providerType, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer);
BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                     HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);
// The key is the first bytes of the hash value; keys under 128 bits get the zero salt of the
// base provider unless CRYPT_NO_SALT is given. Key length in bits is the upper half of flags.
BOOL CryptDeriveKey(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTHASH hash, DWORD flags,
                    HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
// RC4 in place; the key stream runs on between calls and starts afresh after a final call.
BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                  DWORD* dataLength, DWORD bufferLength);
BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                  DWORD* dataLength);
