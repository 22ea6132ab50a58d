// Little-endian reads and writes at a byte offset, with no alignment requirement.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

inline std::uint16_t kel_EndianReadLittleU16(const void* base, std::size_t offset)
{
    const unsigned char* p = static_cast<const unsigned char*>(base) + offset;
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t kel_EndianReadLittleU32(const void* base, std::size_t offset)
{
    const unsigned char* p = static_cast<const unsigned char*>(base) + offset;
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void kel_EndianWriteLittleU16(void* base, unsigned offset, std::uint16_t value)
{
    unsigned char* p = static_cast<unsigned char*>(base) + offset;
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void kel_EndianWriteLittleU32(void* base, unsigned offset, std::uint32_t value)
{
    unsigned char* p = static_cast<unsigned char*>(base) + offset;
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace kel
