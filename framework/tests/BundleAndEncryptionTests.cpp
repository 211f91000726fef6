#include "framework/CAdvancedLog.h"
#include "framework/CStringBundler.h"
#include "framework/Encryption.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <atomic>
#include <climits>
#include <set>
#include <thread>

namespace
{

using testsupport::CLogCapture;

std::wstring WriteBundle(const wchar_t* name, const std::string& bytes)
{
    std::wstring path = std::wstring(L"C:\\Windows\\Temp\\") + name;
    testsupport::WriteHostFile(testsupport::HostPath(path), bytes);
    return path;
}

std::wstring FailureLine(const std::wstring& id, const std::wstring& path)
{
    return L"CStringBundler::GetString('" + id +
           L"') failed. Unable to get string. Current resource bundle file is " + path;
}

// The record-mode pass phrase shape: two braced GUIDs joined with an underscore.
const std::wstring kPassPhrase =
    L"{6F1C2B7A-93D4-4E0B-A8C1-2D5E7F901B3C}_{B04E8D21-5A6F-47C9-9E3D-81F2C6A0D457}";

std::vector<unsigned char> Utf16LeBytes(const std::wstring& text)
{
    std::vector<unsigned char> bytes;
    for (char16_t unit : winport::ToUtf16(text))
    {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

// The expected cipher text, computed apart from the code under test: the key is the MD5 of
// the pass phrase, the cipher a plain RC4 whose stream runs on over the whole text.
std::wstring ExpectedCipherText(const std::wstring& passPhrase, const std::wstring& plain)
{
    std::vector<unsigned char> phrase = Utf16LeBytes(passPhrase);
    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned int keyLength = 0;
    EXPECT_EQ(EVP_Digest(phrase.data(), phrase.size(), key, &keyLength, EVP_md5(), nullptr), 1);
    EXPECT_EQ(keyLength, 16u);
    unsigned char s[256];
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i)
    {
        j = (j + s[i] + key[i % 16]) & 255;
        std::swap(s[i], s[j]);
    }
    std::wstring out = L"!CRYPT!RC4!";
    static const wchar_t kHex[] = L"0123456789abcdef";
    int i = 0, j = 0;
    for (unsigned char byte : Utf16LeBytes(plain))
    {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        unsigned char c = byte ^ s[(s[i] + s[j]) & 255];
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

std::wstring LongText(size_t length)
{
    std::wstring text;
    for (size_t i = 0; i < length; ++i)
        text.push_back(static_cast<wchar_t>(L'!' + (i * 7) % 90));
    return text;
}

} // namespace

TEST(StringBundler, LoadsTextsAndLogsMissingOnes)
{
    CLogCapture log;
    CStringBundler bundler;
    EXPECT_EQ(bundler.GetString(L"TITLE"), L"");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_FATAL,
                        L"CStringBundler::GetString('TITLE') failed. Unable to get string. "
                        L"Resource bundle file is not specified"),
              1);

    std::wstring path = WriteBundle(L"fw2_lang.dat", "\xEF\xBB\xBF"
                                                     "Class=CPropertyManager ItemCount=*\r\n"
                                                     "TITLE=Rollout \xC3\xA9\r\n"
                                                     "ID=\r\n"
                                                     "; TITLE=commented out\r\n"
                                                     "# NOTE=commented out\r\n"
                                                     "no equals sign\r\n"
                                                     "\r\n"
                                                     "TWO_LINES=first\\nsecond\r\n"
                                                     "PATH=C:\\\\Temp\\\\x\r\n"
                                                     "EQUALS=a=b\r\n");
    ASSERT_EQ(bundler.LoadStringBundle(path), 1);
    EXPECT_EQ(bundler.GetString(L"TITLE"), L"Rollout \u00e9");
    EXPECT_EQ(bundler.GetString(L"TWO_LINES"), L"first\nsecond");
    EXPECT_EQ(bundler.GetString(L"PATH"), L"C:\\Temp\\x");
    EXPECT_EQ(bundler.GetString(L"EQUALS"), L"a=b");
    log.m_Lines.clear();
    EXPECT_EQ(bundler.GetString(L"ID"), L"");
    EXPECT_EQ(bundler.GetString(L"title"), L"");
    EXPECT_EQ(bundler.GetString(L"NOTE"), L"");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_FATAL, FailureLine(L"ID", path)), 1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_FATAL, FailureLine(L"title", path)), 1);
    EXPECT_EQ(log.m_Lines.size(), 3u);

    // A bundle that cannot be read keeps the previous texts and says so.
    log.m_Lines.clear();
    const std::wstring missing = L"C:\\Windows\\Temp\\fw2_no_such_lang.dat";
    EXPECT_EQ(bundler.LoadStringBundle(missing), 0);
    EXPECT_EQ(log.CountUnexpected(L"CStringBundler::LoadStringBundle"), 1);
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_ERROR,
                        L"LoadStringBundle, ConstructObjectFromStorage return false. Setup is "
                        L"unable to read string resource from " +
                            missing),
              1);
    EXPECT_EQ(bundler.GetString(L"TITLE"), L"Rollout \u00e9");

    // A counted bundle stops after its count; a new bundle replaces every text.
    std::wstring counted = WriteBundle(L"fw2_lang2.dat", "Class=CPropertyManager ItemCount=2\n"
                                                         "; not counted\n"
                                                         "A=1\nB=2\nC=3\n");
    ASSERT_EQ(bundler.LoadStringBundle(counted), 1);
    EXPECT_EQ(bundler.GetString(L"A"), L"1");
    EXPECT_EQ(bundler.GetString(L"B"), L"2");
    log.m_Lines.clear();
    EXPECT_EQ(bundler.GetString(L"C"), L"");
    EXPECT_EQ(bundler.GetString(L"TITLE"), L"");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_FATAL, FailureLine(L"TITLE", counted)), 1);

    bundler.Clear();
    log.m_Lines.clear();
    EXPECT_EQ(bundler.GetString(L"A"), L"");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_FATAL,
                        L"CStringBundler::GetString('A') failed. Unable to get string. "
                        L"Resource bundle file is not specified"),
              1);
}

TEST(StringBundler, ReloadIsAtomicForConcurrentReaders)
{
    constexpr int kTexts = 400;
    auto bundle = [](char text, int items, int counted)
    {
        std::string bytes = "Class=CPropertyManager ItemCount=" + std::to_string(counted) + "\n";
        for (int i = 0; i < items; ++i)
            bytes += "T" + std::to_string(i) + "=" + text + "\n";
        return bytes;
    };
    const std::wstring first = WriteBundle(L"fw2_reload_a.dat", bundle('a', kTexts, kTexts));
    const std::wstring second = WriteBundle(L"fw2_reload_b.dat", bundle('b', kTexts, kTexts));
    // Cut short: half of the texts its header counts.
    const std::wstring cut = WriteBundle(L"fw2_reload_cut.dat", bundle('c', kTexts / 2, kTexts));
    CStringBundler bundler;
    ASSERT_EQ(bundler.LoadStringBundle(first), 1);

    // The reader only ever sees one whole bundle: never an empty, half or cut one.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader(
        [&]
        {
            const std::wstring last = L"T" + std::to_wstring(kTexts - 1);
            while (!stop.load())
            {
                for (const std::wstring& id : {std::wstring(L"T0"), last})
                {
                    std::wstring text = bundler.GetString(id);
                    torn += text == L"a" || text == L"b" ? 0 : 1;
                }
                ++reads;
            }
        });
    for (int round = 0; round < 60; ++round)
    {
        EXPECT_EQ(bundler.LoadStringBundle(round % 2 == 0 ? second : first), 1);
        EXPECT_EQ(bundler.LoadStringBundle(cut), 0);
    }
    while (reads.load() < 100)
        std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(bundler.GetString(L"T0"), L"a");
    EXPECT_EQ(bundler.GetString(L"T200"), L"a");
}

TEST(RandomNumber, BoundsAndDegenerateRanges)
{
    CRandomNumberGenerate random;
    EXPECT_EQ(random.GenerateRandomNumber(5, 5), 5);
    EXPECT_EQ(random.GenerateRandomNumber(7, 3), 7);
    EXPECT_EQ(random.GenerateRandomNumber(INT_MAX, INT_MIN), INT_MAX);
    std::set<int> small;
    for (int i = 0; i < 2000; ++i)
    {
        int n = random.GenerateRandomNumber(-3, 3);
        ASSERT_GE(n, -3);
        ASSERT_LE(n, 3);
        small.insert(n);
    }
    EXPECT_EQ(small.size(), 7u); // every value turns up in 2000 draws
    std::set<int> top, full;
    bool negative = false, positive = false;
    for (int i = 0; i < 400; ++i)
    {
        top.insert(random.GenerateRandomNumber(INT_MAX - 1, INT_MAX));
        int n = random.GenerateRandomNumber(INT_MIN, INT_MAX);
        negative |= n < 0;
        positive |= n > 0;
        full.insert(n);
        ASSERT_GE(random.GenerateRandomNumber(), 0);
        int low = random.GenerateRandomNumber(INT_MIN, INT_MIN + 1);
        ASSERT_TRUE(low == INT_MIN || low == INT_MIN + 1);
    }
    EXPECT_EQ(top, (std::set<int>{INT_MAX - 1, INT_MAX}));
    EXPECT_TRUE(negative && positive);
    EXPECT_GT(full.size(), 390u);
}

TEST(ReversibleEncryption, CipherTextIsRc4UnderTheMd5OfThePassPhrase)
{
    ASSERT_EQ(kPassPhrase.size(), 77u);
    CReversibleEncryption encryption;
    ASSERT_EQ(encryption.Init(kPassPhrase), 1);
    for (const std::wstring& plain : {std::wstring(L"abc"), std::wstring(L"P@ssw0rd \u00e9\u4e2d"),
                                      LongText(2000), std::wstring(L"\U0001F600x")})
    {
        std::wstring cipher;
        encryption.Encrypt(plain, cipher);
        EXPECT_EQ(cipher, ExpectedCipherText(kPassPhrase, plain)) << winport::ToUtf8(plain);
    }
    std::wstring abc;
    encryption.Encrypt(L"abc", abc);
    EXPECT_EQ(abc.size(), 11u + 12u);
    EXPECT_EQ(abc.find_first_not_of(L"0123456789abcdef", 11), std::wstring::npos);
}

TEST(ReversibleEncryption, RoundTripsAndRepeatability)
{
    CReversibleEncryption encryption;
    ASSERT_EQ(encryption.Init(kPassPhrase), 1);
    const std::wstring texts[] = {L"",
                                  L"x",
                                  LongText(2000),
                                  LongText(500),
                                  LongText(501),
                                  L"Gr\u00fc\u00dfe \u65e5\u672c \u0416",
                                  L"\U0001F600 and \U00010348"};
    for (const std::wstring& plain : texts)
    {
        std::wstring cipher, back;
        encryption.Encrypt(plain, cipher);
        EXPECT_EQ(cipher.size(), 11u + 4u * winport::ToUtf16(plain).size());
        encryption.Decrypt(cipher, back);
        EXPECT_EQ(back, plain) << plain.size();
        // The key stream starts afresh for every text.
        std::wstring again;
        encryption.Encrypt(plain, again);
        EXPECT_EQ(again, cipher);
    }
    std::wstring empty;
    encryption.Encrypt(L"", empty);
    EXPECT_EQ(empty, L"!CRYPT!RC4!");

    // A second object with the same phrase reads what the first wrote; another phrase does not.
    std::wstring cipher;
    encryption.Encrypt(L"secret password", cipher);
    CReversibleEncryption same, other;
    ASSERT_EQ(same.Init(kPassPhrase), 1);
    ASSERT_EQ(other.Init(L"{00000000-0000-0000-0000-000000000000}_x"), 1);
    std::wstring back;
    same.Decrypt(cipher, back);
    EXPECT_EQ(back, L"secret password");
    other.Decrypt(cipher, back);
    EXPECT_NE(back, L"secret password");
    // Init again switches the key.
    ASSERT_EQ(other.Init(kPassPhrase), 1);
    other.Decrypt(cipher, back);
    EXPECT_EQ(back, L"secret password");
}

TEST(ReversibleEncryption, PassThroughMissingKeyAndMalformedCipherTexts)
{
    CLogCapture log;
    CReversibleEncryption idle;
    std::wstring out = L"stale";
    for (const std::wstring& plain : {std::wstring(L"never enciphered"), std::wstring(L""),
                                      std::wstring(L"!CRYPT!RC"), std::wstring(L"!crypt!rc4!00")})
    {
        idle.Decrypt(plain, out);
        EXPECT_EQ(out, plain);
    }
    EXPECT_TRUE(log.m_Lines.empty());
    idle.Decrypt(L"!CRYPT!RC4!6162", out);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(log.CountUnexpected(L"CReversibleEncryption::Decrypt"), 1);
    out = L"stale";
    idle.Encrypt(L"abc", out);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(log.CountUnexpected(L"CReversibleEncryption::Encrypt"), 1);

    CReversibleEncryption encryption;
    ASSERT_EQ(encryption.Init(kPassPhrase), 1);
    std::wstring cipher;
    encryption.Encrypt(L"abc", cipher);
    // Three whole bytes: one character, the odd byte dropped.
    encryption.Decrypt(cipher.substr(0, 11 + 6), out);
    EXPECT_EQ(out, L"a");
    encryption.Decrypt(cipher.substr(0, 11 + 7), out); // odd number of digits
    EXPECT_EQ(out.substr(0, 1), L"a");
    encryption.Decrypt(L"!CRYPT!RC4!", out);
    EXPECT_EQ(out, L"");
    encryption.Decrypt(L"!CRYPT!RC4!zz\u00e9!-- not hex at all", out);
    encryption.Decrypt(L"!CRYPT!RC4!" + std::wstring(4001, L'f'), out);
    EXPECT_LE(out.size(), 1000u);
    // Still in a sound state afterwards.
    encryption.Decrypt(cipher, out);
    EXPECT_EQ(out, L"abc");

    encryption.Uninit();
    log.m_Lines.clear();
    encryption.Encrypt(L"abc", out);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(log.CountUnexpected(L"CReversibleEncryption::Encrypt"), 1);
}
