// The CryptoAPI subset (MD5 hashes, RC4 keys derived from them, random bytes) and GUIDs,
// checked against the published MD5 vectors and a small RC4 of the test's own.
#include "winport/Objbase.h"
#include "winport/WinBase.h"
#include "winport/WinCrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Rc4Stream(const Bytes& key, size_t length)
{
    unsigned char s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i)
    {
        j = (j + s[i] + key[static_cast<size_t>(i) % key.size()]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    Bytes out;
    for (size_t n = 0, i = 0, j = 0; n < length; ++n)
    {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out.push_back(s[(s[i] + s[j]) & 0xFF]);
    }
    return out;
}

class CCryptTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CryptAcquireContextW(&m_Provider, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
    }
    void TearDown() override { EXPECT_TRUE(CryptReleaseContext(m_Provider, 0)); }

    // The key derived from the MD5 of data given in pieces.
    HCRYPTKEY Derive(const std::vector<std::string>& pieces, DWORD flags)
    {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CryptCreateHash(m_Provider, CALG_MD5, 0, 0, &hash));
        for (const std::string& piece : pieces)
            EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(piece.data()),
                                      static_cast<DWORD>(piece.size()), 0));
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CryptDeriveKey(m_Provider, CALG_RC4, hash, flags, &key))
            << std::hex << GetLastError();
        EXPECT_TRUE(CryptDestroyHash(hash));
        return key;
    }

    static Bytes Stream(HCRYPTKEY key, size_t length, BOOL final = TRUE)
    {
        Bytes data(length, 0);
        DWORD n = static_cast<DWORD>(length);
        EXPECT_TRUE(CryptEncrypt(key, 0, final, 0, data.data(), &n, n));
        EXPECT_EQ(n, length);
        return data;
    }

    HCRYPTPROV m_Provider = 0;
};

} // namespace

TEST(WinCryptSelf, TestRc4MatchesItsPublishedVector)
{
    std::string key = "Key";
    Bytes stream = Rc4Stream(Bytes(key.begin(), key.end()), 9);
    std::string plain = "Plaintext";
    for (size_t i = 0; i < 9; ++i)
        stream[i] ^= static_cast<unsigned char>(plain[i]);
    EXPECT_EQ(stream, FromHex("BBF316E8D940AF0AD3"));
}

TEST_F(CCryptTest, Md5VectorsThroughDerivedRc4Keys)
{
    struct SVector
    {
        std::vector<std::string> pieces;
        std::string md5;
    };
    const std::vector<SVector> vectors = {
        {{}, "d41d8cd98f00b204e9800998ecf8427e"},
        {{"a"}, "0cc175b9c0f1b6a831c399e269772661"},
        {{"abc"}, "900150983cd24fb0d6963f7d28e17f72"},
        {{"ab", "", "c"}, "900150983cd24fb0d6963f7d28e17f72"},
        {{"message ", "digest"}, "f96b697d7cb7938d525a2f31aaf161d0"},
        {{"abcdefghijklmnopqrstuvwxyz"}, "c3fcd3d76192e4007dfb496cca67e13b"},
        {{"1234567890123456789012345678901234567890", "1234567890123456789012345678901234567890"},
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [pieces, md5] : vectors)
    {
        HCRYPTKEY key = Derive(pieces, 0);
        EXPECT_EQ(Stream(key, 64), Rc4Stream(FromHex(md5), 64)) << md5;
        EXPECT_TRUE(CryptDestroyKey(key));
    }
    // Explicit 128 bits is the same key.
    HCRYPTKEY key = Derive({"abc"}, 128u << 16);
    EXPECT_EQ(Stream(key, 32), Rc4Stream(FromHex("900150983cd24fb0d6963f7d28e17f72"), 32));
    EXPECT_TRUE(CryptDestroyKey(key));
}

TEST_F(CCryptTest, ShortKeysAndSalt)
{
    Bytes md5 = FromHex("900150983cd24fb0d6963f7d28e17f72");
    // 40 bits: five hash bytes, then the base provider's eleven zero bytes of salt.
    Bytes salted(md5.begin(), md5.begin() + 5);
    salted.resize(16, 0);
    HCRYPTKEY key = Derive({"abc"}, 40u << 16);
    EXPECT_EQ(Stream(key, 48), Rc4Stream(salted, 48));
    EXPECT_TRUE(CryptDestroyKey(key));
    key = Derive({"abc"}, (40u << 16) | CRYPT_NO_SALT);
    EXPECT_EQ(Stream(key, 48), Rc4Stream(Bytes(md5.begin(), md5.begin() + 5), 48));
    EXPECT_TRUE(CryptDestroyKey(key));
    key = Derive({"abc"}, (56u << 16) | CRYPT_NO_SALT);
    EXPECT_EQ(Stream(key, 48), Rc4Stream(Bytes(md5.begin(), md5.begin() + 7), 48));
    EXPECT_TRUE(CryptDestroyKey(key));

    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(m_Provider, CALG_MD5, 0, 0, &hash));
    for (DWORD bits : {32u, 44u, 136u})
    {
        HCRYPTKEY bad = 0;
        SetLastError(0);
        EXPECT_FALSE(CryptDeriveKey(m_Provider, CALG_RC4, hash, bits << 16, &bad)) << bits;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    HCRYPTKEY bad = 0;
    EXPECT_FALSE(CryptDeriveKey(m_Provider, CALG_MD5, hash, 0, &bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    // Deriving finishes the hash: two keys from it are the same key, and it takes no more data.
    HCRYPTKEY one = 0, two = 0;
    ASSERT_TRUE(CryptDeriveKey(m_Provider, CALG_RC4, hash, 0, &one));
    ASSERT_TRUE(CryptDeriveKey(m_Provider, CALG_RC4, hash, 0, &two));
    EXPECT_EQ(Stream(one, 16), Stream(two, 16));
    EXPECT_EQ(Stream(one, 16), Rc4Stream(FromHex("d41d8cd98f00b204e9800998ecf8427e"), 16));
    const BYTE more[] = {1, 2, 3};
    EXPECT_FALSE(CryptHashData(hash, more, 3, 0));
    EXPECT_TRUE(CryptDestroyKey(one));
    EXPECT_TRUE(CryptDestroyKey(two));
    EXPECT_TRUE(CryptDestroyHash(hash));
}

TEST_F(CCryptTest, KeyStreamRunsOnUntilFinalThenRestarts)
{
    Bytes expected = Rc4Stream(FromHex("0cc175b9c0f1b6a831c399e269772661"), 40);
    HCRYPTKEY key = Derive({"a"}, 0);
    Bytes first = Stream(key, 7, FALSE);
    Bytes second = Stream(key, 0, FALSE);
    Bytes third = Stream(key, 13, TRUE);
    Bytes joined = first;
    joined.insert(joined.end(), third.begin(), third.end());
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(joined, Bytes(expected.begin(), expected.begin() + 20));
    EXPECT_EQ(Stream(key, 40), expected); // afresh after the final call

    // Decryption is the same stream: a round trip gives the text back.
    std::string secret = "the password of the service account";
    Bytes data(secret.begin(), secret.end());
    DWORD n = static_cast<DWORD>(data.size());
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, data.data(), &n, n));
    EXPECT_NE(std::string(data.begin(), data.end()), secret);
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &n));
    EXPECT_EQ(std::string(data.begin(), data.end()), secret);

    // The data must fit the buffer.
    n = 10;
    SetLastError(0);
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, data.data(), &n, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, data.data(), nullptr, 5));
    EXPECT_TRUE(CryptDestroyKey(key));
}

TEST_F(CCryptTest, RandomBytesAndBadHandles)
{
    Bytes a(64, 0), b(64, 0);
    ASSERT_TRUE(CryptGenRandom(m_Provider, 64, a.data()));
    ASSERT_TRUE(CryptGenRandom(m_Provider, 64, b.data()));
    EXPECT_NE(a, Bytes(64, 0));
    EXPECT_NE(a, b);
    EXPECT_TRUE(CryptGenRandom(m_Provider, 0, nullptr));
    EXPECT_FALSE(CryptGenRandom(m_Provider, 4, nullptr));

    SetLastError(0);
    EXPECT_FALSE(CryptGenRandom(0, 4, a.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HCRYPTHASH hash = 0;
    EXPECT_FALSE(CryptCreateHash(0, CALG_MD5, 0, 0, &hash));
    SetLastError(0);
    EXPECT_FALSE(CryptCreateHash(m_Provider, CALG_RC4, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_FALSE(CryptHashData(0, a.data(), 4, 0));
    EXPECT_FALSE(CryptDestroyHash(0));
    EXPECT_FALSE(CryptDestroyKey(0));
    DWORD n = 4;
    EXPECT_FALSE(CryptEncrypt(0, 0, TRUE, 0, a.data(), &n, 4));

    // A handle of one kind is not taken for another, and nothing is freed twice.
    ASSERT_TRUE(CryptCreateHash(m_Provider, CALG_MD5, 0, 0, &hash));
    SetLastError(0);
    EXPECT_FALSE(CryptEncrypt(static_cast<HCRYPTKEY>(hash), 0, TRUE, 0, a.data(), &n, 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CryptDestroyKey(static_cast<HCRYPTKEY>(hash)));
    EXPECT_FALSE(CryptReleaseContext(static_cast<HCRYPTPROV>(hash), 0));
    EXPECT_TRUE(CryptDestroyHash(hash));
    SetLastError(0);
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CryptHashData(hash, a.data(), 4, 0));
    // A value that was never a handle fails too.
    EXPECT_FALSE(CryptDestroyKey(static_cast<HCRYPTKEY>(0x1234)));
    EXPECT_FALSE(CryptGenRandom(static_cast<HCRYPTPROV>(0x10), 4, a.data()));

    HCRYPTPROV other = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextW(&other, nullptr, L"No Such Provider", PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    EXPECT_FALSE(CryptAcquireContextW(&other, nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    ASSERT_TRUE(CryptAcquireContextW(&other, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(CryptReleaseContext(other, 0));
    EXPECT_FALSE(CryptReleaseContext(other, 0));
}

TEST(WinGuid, RandomVersionFourWithVariantBits)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i)
    {
        GUID guid{};
        ASSERT_EQ(CoCreateGuid(&guid), S_OK);
        EXPECT_EQ(guid.Data3 >> 12, 4) << i;
        EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80) << i;
        seen.insert(std::string(reinterpret_cast<const char*>(&guid), sizeof guid));
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_TRUE(FAILED(CoCreateGuid(nullptr)));
}
