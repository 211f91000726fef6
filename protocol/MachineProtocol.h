// The wire form of the machine server protocol, shared by the server and its clients.
//
// A connection carries length-prefixed messages over the Unix socket
// FLEET_ROOT/machines/NAME/runtime/machined.sock. The first request is Hello. Every request gets
// exactly one reply, which starts with a Win32 status code. Each message type lists its fields
// once, in Fields(), which both the writer and the reader use, so the two sides cannot disagree.
// The requests themselves are listed in MachineRequests.h.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace machine::protocol
{

constexpr uint32_t kVersion = 2;
constexpr uint32_t kMaxMessage = 64u << 20; // larger messages end the connection
constexpr uint32_t kMaxHelloMessage = 4096; // before its Hello a caller may send no more

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
    template <class TFirst, class... TRest>
    void operator()(const TFirst& first, const TRest&... rest)
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

// A list in one string field (arguments, environment, dependencies): each item ended by a NUL.
inline std::vector<std::string> SplitNulItems(const std::string& block)
{
    std::vector<std::string> items;
    for (size_t start = 0; start < block.size();)
    {
        size_t end = block.find('\0', start);
        if (end == std::string::npos)
            end = block.size();
        items.push_back(block.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

} // namespace machine::protocol
