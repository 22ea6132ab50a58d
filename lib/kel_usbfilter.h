// Selects USB devices by inclusive ranges of vendor, product, release and location.
#pragma once

namespace kel {

class UsbFilter {
public:
    class Range {
    public:
        Range() { wildcard(); }
        explicit Range(unsigned int value) { set(value); }

        void set(unsigned int value) { m_minimum = m_maximum = value; }
        void set(unsigned int a, unsigned int b)
        {
            m_minimum = a < b ? a : b;
            m_maximum = a < b ? b : a;
        }
        void wildcard()
        {
            m_minimum = 0;
            m_maximum = 0xFFFFFFFF;
        }
        void clear() { wildcard(); }
        bool matches(unsigned int value) const { return m_minimum <= value && value <= m_maximum; }

        unsigned int minimum() const { return m_minimum; }
        unsigned int maximum() const { return m_maximum; }

    private:
        unsigned int m_minimum;
        unsigned int m_maximum;
    };

    UsbFilter() = default;
    explicit UsbFilter(unsigned short idVendor) : m_vendor(idVendor) {}
    UsbFilter(unsigned short idVendor, unsigned short idProduct) : m_vendor(idVendor), m_product(idProduct) {}

    void clear()
    {
        m_vendor.wildcard();
        m_product.wildcard();
        m_release.wildcard();
        m_location.wildcard();
    }

    Range& idVendor() { return m_vendor; }
    Range& idProduct() { return m_product; }
    Range& locationId() { return m_location; }

    bool matches(unsigned short idVendor, unsigned short idProduct, unsigned short release,
                 unsigned int locationId) const
    {
        return m_vendor.matches(idVendor) && m_product.matches(idProduct) && m_release.matches(release) &&
               m_location.matches(locationId);
    }

private:
    Range m_vendor;
    Range m_product;
    Range m_release;
    Range m_location;
};

}  // namespace kel
