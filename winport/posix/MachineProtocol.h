// Linux only: the one request protocol between processes and a machine server (machined).
//
// A connection carries length-prefixed messages over the Unix socket
// FLEET_ROOT/machines/NAME/runtime/machined.sock. The first request is Hello. Every request gets
// exactly one reply, which starts with a Win32 status code. Each message type lists its fields
// once, in Fields(), which both the writer and the reader use, so the two sides cannot disagree.
//
// Handles in requests are the server's handles of the calling process. Predefined registry keys
// are passed as their Windows values. Registry strings travel as their stored bytes (UTF-16LE,
// as Windows keeps them); names travel as UTF-8.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace machine::protocol
{

constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxMessage = 64u << 20; // larger messages end the connection

enum class ERequest : uint16_t
{
    Hello = 1,
    Shutdown,
    // Registry.
    RegOpenKey,
    RegCreateKey,
    RegCloseKey,
    RegQueryValue,
    RegSetValue,
    RegDeleteValue,
    RegDeleteKey,
    RegEnumKey,
    RegEnumValue,
    RegQueryInfoKey,
    // Accounts and network access.
    CheckCredentials,
    AccountInfo,
    GetShare,
    Ping,
};

// ---- Encoding ---------------------------------------------------------------------------------

class CWireWriter
{
public:
    void operator()(uint32_t v) { Put(&v, sizeof v); }
    void operator()(int64_t v) { Put(&v, sizeof v); }
    void operator()(uint64_t v) { Put(&v, sizeof v); }
    void operator()(const std::string& v)
    {
        (*this)(static_cast<uint32_t>(v.size()));
        Put(v.data(), v.size());
    }
    template <class TFirst, class... TRest> void operator()(const TFirst& first, const TRest&... rest)
    {
        (*this)(first);
        (*this)(rest...);
    }
    std::string& Bytes() { return m_Bytes; }

private:
    void Put(const void* p, size_t n) { m_Bytes.append(static_cast<const char*>(p), n); }
    std::string m_Bytes;
};

class CWireReader
{
public:
    CWireReader(const char* data, size_t size) : m_pData(data), m_Size(size) {}
    void operator()(uint32_t& v) { Get(&v, sizeof v); }
    void operator()(int64_t& v) { Get(&v, sizeof v); }
    void operator()(uint64_t& v) { Get(&v, sizeof v); }
    void operator()(std::string& v)
    {
        uint32_t n = 0;
        (*this)(n);
        if (!m_bOk || n > m_Size - m_Offset)
        {
            m_bOk = false;
            return;
        }
        v.assign(m_pData + m_Offset, n);
        m_Offset += n;
    }
    template <class TFirst, class... TRest> void operator()(TFirst& first, TRest&... rest)
    {
        (*this)(first);
        (*this)(rest...);
    }
    // True when every field was there and nothing is left over.
    bool Complete() const { return m_bOk && m_Offset == m_Size; }

private:
    void Get(void* p, size_t n)
    {
        if (!m_bOk || n > m_Size - m_Offset)
        {
            m_bOk = false;
            memset(p, 0, n);
            return;
        }
        memcpy(p, m_pData + m_Offset, n);
        m_Offset += n;
    }
    const char* m_pData;
    size_t m_Size;
    size_t m_Offset = 0;
    bool m_bOk = true;
};

// A message on the wire: uint32 length of what follows, uint16 code, uint16 zero, fields.
struct SHeader
{
    uint32_t length;
    uint16_t code;
    uint16_t reserved;
};

template <class TMessage> std::string Encode(uint16_t code, TMessage& message)
{
    CWireWriter writer;
    SHeader header{0, code, 0};
    writer.Bytes().append(reinterpret_cast<const char*>(&header), sizeof header);
    message.Fields(writer);
    uint32_t length = static_cast<uint32_t>(writer.Bytes().size() - sizeof(uint32_t));
    memcpy(writer.Bytes().data(), &length, sizeof length);
    return std::move(writer.Bytes());
}

template <class TMessage> bool Decode(const char* body, size_t size, TMessage& message)
{
    CWireReader reader(body, size);
    message.Fields(reader);
    return reader.Complete();
}

// ---- Messages ---------------------------------------------------------------------------------

// Every reply starts with the Win32 status of the request.
struct SStatusReply
{
    uint32_t status = 0;
    template <class A> void Fields(A& a) { a(status); }
};

// The caller names itself. A caller from another machine adds the network credentials it acts
// with ("DOMAIN\user" or "user", and the password); they are checked before any other request.
struct SHelloRequest
{
    static constexpr ERequest kCode = ERequest::Hello;
    uint32_t version = kVersion;
    uint32_t pid = 0;
    std::string callerMachine;
    std::string user;
    std::string password;
    template <class A> void Fields(A& a) { a(version, pid, callerMachine, user, password); }
};
struct SHelloReply
{
    uint32_t status = 0;
    uint32_t serverPid = 0;
    uint32_t isAdministrator = 0; // the caller's credentials hold the Administrators group
    template <class A> void Fields(A& a) { a(status, serverPid, isAdministrator); }
};

struct SShutdownRequest
{
    static constexpr ERequest kCode = ERequest::Shutdown;
    template <class A> void Fields(A&) {}
};

struct SPingRequest
{
    static constexpr ERequest kCode = ERequest::Ping;
    template <class A> void Fields(A&) {}
};

// Opens (or, for RegCreateKey, creates) sub-key path below key; access is the Win32 mask.
struct SRegOpenKeyRequest
{
    static constexpr ERequest kCode = ERequest::RegOpenKey;
    uint64_t key = 0;
    std::string path;
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(key, path, access); }
};
struct SRegCreateKeyRequest
{
    static constexpr ERequest kCode = ERequest::RegCreateKey;
    uint64_t key = 0;
    std::string path;
    uint32_t access = 0;
    template <class A> void Fields(A& a) { a(key, path, access); }
};
struct SRegOpenKeyReply
{
    uint32_t status = 0;
    uint64_t key = 0;
    uint32_t created = 0; // RegCreateKey: 1 when the key is new
    template <class A> void Fields(A& a) { a(status, key, created); }
};

struct SRegCloseKeyRequest
{
    static constexpr ERequest kCode = ERequest::RegCloseKey;
    uint64_t key = 0;
    template <class A> void Fields(A& a) { a(key); }
};

struct SRegQueryValueRequest
{
    static constexpr ERequest kCode = ERequest::RegQueryValue;
    uint64_t key = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(key, name); }
};
struct SRegValueReply
{
    uint32_t status = 0;
    std::string name; // RegEnumValue only
    uint32_t type = 0;
    std::string data;
    template <class A> void Fields(A& a) { a(status, name, type, data); }
};

struct SRegSetValueRequest
{
    static constexpr ERequest kCode = ERequest::RegSetValue;
    uint64_t key = 0;
    std::string name;
    uint32_t type = 0;
    std::string data;
    template <class A> void Fields(A& a) { a(key, name, type, data); }
};

struct SRegDeleteValueRequest
{
    static constexpr ERequest kCode = ERequest::RegDeleteValue;
    uint64_t key = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(key, name); }
};

struct SRegDeleteKeyRequest
{
    static constexpr ERequest kCode = ERequest::RegDeleteKey;
    uint64_t key = 0;
    std::string path;
    template <class A> void Fields(A& a) { a(key, path); }
};

struct SRegEnumRequest
{
    static constexpr ERequest kCode = ERequest::RegEnumKey; // or RegEnumValue
    uint64_t key = 0;
    uint32_t index = 0;
    template <class A> void Fields(A& a) { a(key, index); }
};
struct SRegEnumKeyReply
{
    uint32_t status = 0;
    std::string name;
    template <class A> void Fields(A& a) { a(status, name); }
};

struct SRegQueryInfoKeyRequest
{
    static constexpr ERequest kCode = ERequest::RegQueryInfoKey;
    uint64_t key = 0;
    template <class A> void Fields(A& a) { a(key); }
};
struct SRegQueryInfoKeyReply
{
    uint32_t status = 0;
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLength = 0;   // characters, without terminator
    uint32_t values = 0;
    uint32_t maxValueNameLength = 0; // characters, without terminator
    uint32_t maxValueLength = 0;     // stored bytes
    int64_t lastWriteTime = 0;       // FILETIME ticks
    template <class A>
    void Fields(A& a)
    {
        a(status, subKeys, maxSubKeyLength, values, maxValueNameLength, maxValueLength, lastWriteTime);
    }
};

// Checks an account's password on the machine (local or of a trusted domain).
struct SCheckCredentialsRequest
{
    static constexpr ERequest kCode = ERequest::CheckCredentials;
    std::string user;
    std::string password;
    template <class A> void Fields(A& a) { a(user, password); }
};

// Whether an account of the machine exists and holds its Administrators group (callers of the
// machine only); the reply is an SHelloReply.
struct SAccountInfoRequest
{
    static constexpr ERequest kCode = ERequest::AccountInfo;
    std::string account;
    template <class A> void Fields(A& a) { a(account); }
};

// A share of the machine: its folder as a Windows path of the machine. Administrative shares
// (ADMIN$, C$, ...) answer administrators only.
struct SGetShareRequest
{
    static constexpr ERequest kCode = ERequest::GetShare;
    std::string share;
    template <class A> void Fields(A& a) { a(share); }
};
struct SGetShareReply
{
    uint32_t status = 0;
    std::string path;
    std::string remark;
    uint32_t special = 0; // 1 for an administrative share
    template <class A> void Fields(A& a) { a(status, path, remark, special); }
};

} // namespace machine::protocol
