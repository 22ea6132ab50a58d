// A USB device named by vendor, product and location: the text "vvvv-pppp-llllllll".
#pragma once

#include <string>

namespace kel {

class UsbIdentifier {
public:
    UsbIdentifier() { invalidate(); }
    UsbIdentifier(unsigned short idVendor, unsigned short idProduct, unsigned int locationId)
        : m_idVendor(idVendor), m_idProduct(idProduct), m_locationId(locationId)
    {
    }

    void init(unsigned short idVendor, unsigned short idProduct, unsigned int locationId)
    {
        m_idVendor = idVendor;
        m_idProduct = idProduct;
        m_locationId = locationId;
    }
    void invalidate() { init(0xFFFF, 0xFFFF, 0xFFFFFFFF); }
    bool isInvalid() const { return m_idVendor == 0xFFFF && m_idProduct == 0xFFFF && m_locationId == 0xFFFFFFFF; }

    unsigned short idVendor() const { return m_idVendor; }
    unsigned short idProduct() const { return m_idProduct; }
    unsigned int locationId() const { return m_locationId; }

    // Parses a NUL-terminated device identifier; on failure the identifier is left invalid.
    bool initFromString(const char* text);
    std::string string() const;

private:
    unsigned short m_idVendor;
    unsigned short m_idProduct;
    unsigned int m_locationId;
};

}  // namespace kel
