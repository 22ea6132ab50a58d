// A firmware image with the identification fields of its DFU file suffix, and the DFU file format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct stat;

namespace kel {

// The DFU suffix checksum: the reflected CRC-32 of IEEE 802.3 without the final inversion,
// so the stored dwCRC is the complement of the usual CRC-32 value.
class CRC32 {
public:
    CRC32() : m_accumulator(0xFFFFFFFFu) {}

    void update(unsigned char byte) { update(&byte, 1); }
    void update(const unsigned char* data, std::size_t length);

    std::uint32_t accumulator() const { return m_accumulator; }

private:
    std::uint32_t m_accumulator;
};

class DfuFirmware {
public:
    DfuFirmware();
    DfuFirmware(const DfuFirmware& other);
    DfuFirmware& operator=(const DfuFirmware& other);
    ~DfuFirmware();

    unsigned short version() const { return m_version; }
    unsigned short idVendor() const { return m_idVendor; }
    unsigned short idProduct() const { return m_idProduct; }
    unsigned short deviceRelease() const { return m_deviceRelease; }
    void setVersion(unsigned short version) { m_version = version; }
    void setVendorId(unsigned short idVendor) { m_idVendor = idVendor; }
    void setProductId(unsigned short idProduct) { m_idProduct = idProduct; }
    void setDeviceRelease(unsigned short deviceRelease) { m_deviceRelease = deviceRelease; }

    const unsigned char* data() const { return m_data; }
    unsigned char* data() { return m_data; }
    std::size_t size() const { return m_size; }
    const unsigned char* auxData() const { return m_auxData; }
    std::size_t auxSize() const { return m_auxSize; }

    // Frees the image; the suffix fields and the auxiliary data stay.
    void erase();
    // Frees both buffers and puts the suffix fields back to their defaults.
    void clear();
    // Grows the capacity in 8 KiB steps with one spare block; shrinking keeps the capacity.
    // Throws std::bad_alloc when the buffer cannot grow.
    void resize(std::size_t newSize, bool zeroFill);
    void setData(const void* data, std::size_t length);
    void append(const void* data, std::size_t length);
    // False, changing nothing, for a null pointer or more than 239 bytes; length 0 removes the data.
    bool setAuxData(const void* data, std::size_t length);

    bool equals(const DfuFirmware& other) const;

    // Reads a DFU file; headerOnly reads just the suffix and auxiliary data and skips the CRC check.
    // On failure the object is left cleared and `reason`, when given, says why in a few words.
    bool load(const char* path, bool headerOnly, std::string* reason = nullptr);
    // Writes a DFU file, through a symbolic link to its target. An earlier regular file is
    // replaced only once the whole new file is on disk, keeping its owner and group where the
    // process may and its mode without the set-ID and sticky bits; on failure it is left as it
    // was. A file the user may not write is refused; one in a directory the user may not write,
    // or another user's in a sticky directory, is overwritten in place.
    bool save(const char* path) const;
    // Whether save could write there, found out without changing what is there: false, with
    // errno, when it certainly could not (a missing directory, a file the user may not write).
    static bool canSave(const char* path);

    void printDescription(FILE* stream, const char* title, std::size_t maxRows, std::size_t bytesPerRow) const;
    void printDescriptionData(FILE* stream, const char* label, const unsigned char* data, std::size_t length,
                              std::size_t maxRows, std::size_t bytesPerRow) const;

private:
    bool writeTo(FILE* file) const;
    bool saveInPlace(const char* path, const struct stat& status) const;

    std::uint16_t m_version;
    std::uint16_t m_idVendor;
    std::uint16_t m_idProduct;
    std::uint16_t m_deviceRelease;
    unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_allocSize;
    unsigned char* m_auxData;
    std::size_t m_auxSize;
};

}  // namespace kel
