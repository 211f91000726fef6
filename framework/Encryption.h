// Cryptographic random numbers, and the reversible marked form of secrets (RC4 under a key
// derived from a pass phrase).
#pragma once

#include "winport/WinCrypt.h"

#include <string>

class CRandomNumberGenerate
{
public:
    CRandomNumberGenerate();
    virtual ~CRandomNumberGenerate();
    CRandomNumberGenerate(const CRandomNumberGenerate&) = delete;
    CRandomNumberGenerate& operator=(const CRandomNumberGenerate&) = delete;

    // A number in min to max; min when min is not below max or no random source is there.
    int GenerateRandomNumber(int min, int max);
    int GenerateRandomNumber();

protected:
    int Init();
    void Uninit();

private:
    HCRYPTPROV m_hProvider = 0;
};

class CReversibleEncryption
{
public:
    CReversibleEncryption() = default;
    virtual ~CReversibleEncryption() { Uninit(); }
    CReversibleEncryption(const CReversibleEncryption&) = delete;
    CReversibleEncryption& operator=(const CReversibleEncryption&) = delete;

    int Init(const std::wstring& passPhrase);
    void Uninit();
    // "!CRYPT!RC4!" and the cipher bytes of the UTF-16LE text in lower-case hex.
    void Encrypt(const std::wstring& plain, std::wstring& cipherText);
    // Texts without the marker pass through unchanged.
    void Decrypt(const std::wstring& cipherText, std::wstring& plain);

private:
    HCRYPTPROV m_hProvider = 0;
    HCRYPTKEY m_hKey = 0;
    unsigned int m_uiBlockSize = 8;
    unsigned int m_uiChunkSize = 1000;
    std::wstring m_strMarker = L"!CRYPT!RC4!";
};
