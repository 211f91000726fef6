#include "framework/Encryption.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "winport/WinString.h"

#include <vector>

// ---- CRandomNumberGenerate -------------------------------------------------------------------

CRandomNumberGenerate::CRandomNumberGenerate()
{
    if (!Init())
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRandomNumberGenerate(), call Init() failed");
}

CRandomNumberGenerate::~CRandomNumberGenerate() { Uninit(); }

int CRandomNumberGenerate::Init()
{
    if (m_hProvider != 0)
        return 1;
    if (!CryptAcquireContextW(&m_hProvider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    {
        m_hProvider = 0;
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Init(), CryptAcquireContext return FALSE, last error is %d",
               static_cast<int>(GetLastError()));
        return 0;
    }
    return 1;
}

void CRandomNumberGenerate::Uninit()
{
    if (m_hProvider != 0)
    {
        CryptReleaseContext(m_hProvider, 0);
        m_hProvider = 0;
    }
}

int CRandomNumberGenerate::GenerateRandomNumber(int min, int max)
{
    if (min >= max || m_hProvider == 0)
        return min;
    uint32_t r = 0;
    if (!CryptGenRandom(m_hProvider, sizeof r, reinterpret_cast<BYTE*>(&r)))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"GenerateRandomNumber(), CryptGenRandom return FALSE, last error is %d",
               static_cast<int>(GetLastError()));
        return min;
    }
    // The span is at most 2^32, so the offset is computed in 64 bits.
    uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(max) - min) + 1;
    return static_cast<int>(static_cast<int64_t>(min) + static_cast<int64_t>(r % span));
}

int CRandomNumberGenerate::GenerateRandomNumber() { return GenerateRandomNumber(0, 2147483647); }

// ---- CReversibleEncryption -------------------------------------------------------------------

int CReversibleEncryption::Init(const std::wstring& passPhrase)
{
    if (m_hProvider != 0)
        Uninit();
    if (!CryptAcquireContextW(&m_hProvider, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, 0))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Init(), CryptAcquireContext return FALSE, last error is 0x%x",
               static_cast<unsigned>(GetLastError()));
        if (!CryptAcquireContextW(&m_hProvider, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET))
        {
            m_hProvider = 0;
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Init(), CryptAcquireContext(CRYPT_NEWKEYSET) return FALSE, last error is 0x%x",
                   static_cast<unsigned>(GetLastError()));
            return 0;
        }
    }
    std::u16string units = winport::ToUtf16(passPhrase);
    std::vector<BYTE> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units)
    {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    HCRYPTHASH hash = 0;
    bool ok = CryptCreateHash(m_hProvider, CALG_MD5, 0, 0, &hash) &&
              CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
              CryptDeriveKey(m_hProvider, CALG_RC4, hash, 0x00800000, &m_hKey);
    if (hash != 0)
        CryptDestroyHash(hash);
    if (!ok)
    {
        m_hKey = 0;
        ADVLOG_UNEXPECTED_BRANCH(L"CReversibleEncryption::Init");
        Uninit();
        return 0;
    }
    return 1;
}

void CReversibleEncryption::Uninit()
{
    if (m_hKey != 0)
    {
        CryptDestroyKey(m_hKey);
        m_hKey = 0;
    }
    if (m_hProvider != 0)
    {
        CryptReleaseContext(m_hProvider, 0);
        m_hProvider = 0;
    }
}

void CReversibleEncryption::Encrypt(const std::wstring& plain, std::wstring& cipherText)
{
    cipherText.clear();
    if (m_hKey == 0)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CReversibleEncryption::Encrypt");
        return;
    }
    unsigned int chunk = m_uiChunkSize - m_uiChunkSize % m_uiBlockSize;
    std::u16string units = winport::ToUtf16(plain);
    std::vector<BYTE> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t unit : units)
    {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    cipherText = m_strMarker;
    std::vector<BYTE> work(chunk + m_uiBlockSize);
    std::wstring hex;
    size_t offset = 0;
    do
    {
        size_t length = std::min<size_t>(chunk, bytes.size() - offset);
        bool final = offset + length >= bytes.size();
        std::copy(bytes.begin() + static_cast<long>(offset),
                  bytes.begin() + static_cast<long>(offset + length), work.begin());
        DWORD produced = static_cast<DWORD>(length);
        if (!CryptEncrypt(m_hKey, 0, final, 0, work.data(), &produced,
                          static_cast<DWORD>(work.size())))
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CReversibleEncryption::Encrypt");
            return;
        }
        CStringSupport::BinaryToString(work.data(), produced, hex);
        cipherText += hex;
        offset += length;
    } while (offset < bytes.size());
}

void CReversibleEncryption::Decrypt(const std::wstring& cipherText, std::wstring& plain)
{
    plain.clear();
    if (!CStringSupport::IsStringBeginWith(cipherText, m_strMarker))
    {
        plain = cipherText;
        return;
    }
    if (m_hKey == 0)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CReversibleEncryption::Decrypt");
        return;
    }
    std::wstring hex = cipherText.substr(m_strMarker.size());
    std::vector<BYTE> bytes(hex.size() / 2 + 1);
    unsigned int count = CStringSupport::StringToBinary(hex, bytes.data(),
                                                        static_cast<unsigned int>(bytes.size()));
    bytes.resize(count);
    unsigned int chunk = m_uiChunkSize - m_uiChunkSize % m_uiBlockSize;
    std::u16string units;
    units.reserve(count / 2);
    size_t offset = 0;
    BYTE pendingLow = 0;
    bool havePending = false;
    do
    {
        size_t length = std::min<size_t>(chunk, bytes.size() - offset);
        bool final = offset + length >= bytes.size();
        DWORD produced = static_cast<DWORD>(length);
        if (!CryptDecrypt(m_hKey, 0, final, 0, bytes.data() + offset, &produced))
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CReversibleEncryption::Decrypt");
            break;
        }
        // Bytes pair up into UTF-16 code units across chunk borders; an odd last byte is dropped.
        for (DWORD i = 0; i < produced; ++i)
        {
            BYTE b = bytes[offset + i];
            if (havePending)
            {
                units.push_back(static_cast<char16_t>(pendingLow | (b << 8)));
                havePending = false;
            }
            else
            {
                pendingLow = b;
                havePending = true;
            }
        }
        offset += length;
    } while (offset < bytes.size());
    plain = winport::FromUtf16(units.data(), units.size());
}
