// Fast, locale-independent text building for replies and text records.
//
// Replies of large histograms hold hundreds of thousands of numbers, and the
// process locale may use a decimal comma: numbers are written with
// std::to_chars into one growing buffer instead of through QString or streams.
//
//     TextBuilder text;
//     text.append("{\"data\":[").appendUnsigned(42).append(',').appendGeneral(0.75).append("]}");
//     *data_out += text.toQString();
#pragma once

#include <QString>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

class TextBuilder {
public:
    TextBuilder& append(char c)
    {
        m_text.push_back(c);
        return *this;
    }
    TextBuilder& append(const char* text)
    {
        m_text.append(text);
        return *this;
    }
    TextBuilder& append(const char* text, size_t length)
    {
        m_text.append(text, length);
        return *this;
    }
    TextBuilder& append(const std::string& text)
    {
        m_text.append(text);
        return *this;
    }
    TextBuilder& append(const QString& text)
    {
        m_text.append(text.toStdString());
        return *this;
    }
    TextBuilder& appendUnsigned(uint64_t value)
    {
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_text.append(buffer, result.ptr);
        return *this;
    }
    TextBuilder& appendSigned(int64_t value)
    {
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        m_text.append(buffer, result.ptr);
        return *this;
    }
    // Six significant digits, the shorter of fixed and exponent notation, no
    // trailing zeros: 29.675, 1523.4, 1.23457e+06, 0.
    TextBuilder& appendGeneral(double value)
    {
        char buffer[32];
        m_text.append(buffer, formatGeneral(buffer, value));
        return *this;
    }
    // Fixed notation with six digits after the point: 12.500000.
    TextBuilder& appendFixed(double value)
    {
        char buffer[352];
        m_text.append(buffer, formatFixed(buffer, sizeof buffer, value));
        return *this;
    }

    void reserve(size_t bytes) { m_text.reserve(bytes); }
    void clear() { m_text.clear(); }
    size_t size() const { return m_text.size(); }
    const std::string& str() const { return m_text; }
    QString toQString() const { return QString::fromLatin1(m_text.data(), static_cast<int>(m_text.size())); }

    // Writes into buffer (at least 32 bytes) and returns the end pointer.
    static char* formatGeneral(char* buffer, double value)
    {
        return std::to_chars(buffer, buffer + 32, value, std::chars_format::general, 6).ptr;
    }
    static char* formatFixed(char* buffer, size_t size, double value)
    {
        auto result = std::to_chars(buffer, buffer + size, value, std::chars_format::fixed, 6);
        if (result.ec != std::errc())
            return buffer;
        return result.ptr;
    }

private:
    std::string m_text;
};
