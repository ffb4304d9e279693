#pragma once
// Compact JSON text written field by field, in the order the fields are given. The status
// document is asked for up to ten times a second by watching clients; built through QJsonObject
// (a sorted insert per field, then a walk to text) it cost the main thread many times what the
// text itself costs.
//
// The caller keeps the nesting right: every open() or openArray() has its close(). Numbers are
// integers, text is escaped as JSON requires (quote, backslash, control characters).

#include <QByteArray>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <vector>

class JsonText
{
public:
    JsonText() { text.reserve(4096); }

    // An object: at the top when no key is given, else as the value of `key` (or, inside an
    // array, as its next element when `key` is null).
    JsonText &open(const char *key = nullptr) { return start(key, '{'); }
    JsonText &openArray(const char *key) { return start(key, '['); }
    // Closes the innermost object, or array.
    JsonText &close() { return end('}'); }
    JsonText &closeArray() { return end(']'); }

    JsonText &field(const char *key, bool value)
    {
        begin(key);
        text += value ? "true" : "false";
        return *this;
    }
    template <typename Integer, typename = std::enable_if_t<std::is_integral<Integer>::value &&
                                                            !std::is_same<Integer, bool>::value>>
    JsonText &field(const char *key, Integer value)
    {
        begin(key);
        char digits[24];
        const char *last = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
        text.append(digits, static_cast<int>(last - digits));
        return *this;
    }
    // Text in UTF-8.
    JsonText &field(const char *key, const char *value)
    {
        begin(key);
        quoted(value, static_cast<int>(std::strlen(value)));
        return *this;
    }

    const QByteArray &bytes() const { return text; }

private:
    JsonText &start(const char *key, char bracket)
    {
        begin(key);
        text += bracket;
        first.push_back(true);
        return *this;
    }
    JsonText &end(char bracket)
    {
        first.pop_back();
        text += bracket;
        return *this;
    }
    // The comma before every member but the first, then the key when there is one.
    void begin(const char *key)
    {
        if (!first.empty()) {
            if (!first.back())
                text += ',';
            first.back() = false;
        }
        if (key) {
            quoted(key, static_cast<int>(std::strlen(key)));
            text += ':';
        }
    }
    void quoted(const char *raw, int size)
    {
        const auto plain = [](char c) {
            return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20;
        };
        text += '"';
        if (std::all_of(raw, raw + size, plain)) {
            text.append(raw, size);
            text += '"';
            return;
        }
        static const char hex[] = "0123456789abcdef";
        for (const char c : QByteArray::fromRawData(raw, size)) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                text += '\\';
                text += c;
            } else if (u < 0x20) {
                text += "\\u00";
                text += hex[u >> 4];
                text += hex[u & 0xf];
            } else {
                text += c;
            }
        }
        text += '"';
    }

    QByteArray text;
    std::vector<bool> first;  // per open level: no member written yet
};
