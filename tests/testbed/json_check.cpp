// A strict check that a line is one JSON object and its line feed, for the
// tests of the result log.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "testbed.h"

namespace testbed {

namespace {

// A strict recursive-descent check of one JSON value: raw bytes in strings
// must be UTF-8 and not control bytes, escapes must be JSON's.
struct JsonCheck {
    const std::string& text;
    size_t at = 0;

    bool eat(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool word(const char* w) {
        const size_t n = std::strlen(w);
        if (text.compare(at, n, w) != 0) return false;
        at += n;
        return true;
    }
    unsigned char byte(size_t i) const { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; }
    bool utf8() {
        const unsigned char lead = byte(at);
        const int count = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (count == 0 || lead > 0xF4) return false;
        uint32_t code = lead & (0x7F >> count);
        for (int i = 1; i < count; ++i) {
            if ((byte(at + i) & 0xC0) != 0x80) return false;
            code = code << 6 | (byte(at + i) & 0x3F);
        }
        static const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < lowest[count] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        at += count;
        return true;
    }
    bool string() {
        if (!eat('"')) return false;
        while (!eat('"')) {
            const unsigned char c = byte(at);
            if (at >= text.size() || c < 0x20) return false;
            if (c >= 0x80) {
                if (!utf8()) return false;
            } else if (eat('\\')) {
                if (eat('u')) {
                    for (int i = 0; i < 4; ++i) {
                        if (!std::isxdigit(byte(at++))) return false;
                    }
                } else if (!(eat('"') || eat('\\') || eat('/') || eat('b') || eat('f') || eat('n') || eat('r') ||
                             eat('t'))) {
                    return false;
                }
            } else {
                ++at;
            }
        }
        return true;
    }
    bool digits() {
        const size_t from = at;
        while (std::isdigit(byte(at))) ++at;
        return at > from;
    }
    bool number() {
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        return true;
    }
    template <typename Item>
    bool list(char open, char close, Item item) {
        if (!eat(open)) return false;
        if (eat(close)) return true;
        do {
            if (!item()) return false;
        } while (eat(','));
        return eat(close);
    }
    bool value() {
        switch (byte(at)) {
        case '{': return list('{', '}', [this] { return string() && eat(':') && value(); });
        case '[': return list('[', ']', [this] { return value(); });
        case '"': return string();
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }
};

// One object and the line feed, nothing else.
}  // namespace

bool is_json_line(const std::string& line) {
    if (line.empty() || line.back() != '\n') return false;
    const std::string body = line.substr(0, line.size() - 1);
    JsonCheck check{body};
    return body[0] == '{' && check.value() && check.at == body.size();
}

std::map<std::string, std::string> json_members(const std::string& object) {
    std::string body = object;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    JsonCheck check{body};
    std::map<std::string, std::string> members;
    if (!check.eat('{') || check.eat('}')) return members;
    do {
        const size_t name_at = check.at;
        if (!check.string() || !check.eat(':')) return {};
        const std::string name = json_text(body.substr(name_at, check.at - 1 - name_at));
        const size_t value_at = check.at;
        if (!check.value()) return {};
        members[name] = body.substr(value_at, check.at - value_at);
    } while (check.eat(','));
    if (!check.eat('}') || check.at != body.size()) return {};
    return members;
}

std::string json_text(const std::string& value) {
    if (value.size() < 2 || value.front() != '"') return value;
    std::string text;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        if (value[i] != '\\') {
            text += value[i];
            continue;
        }
        const char c = value[++i];
        if (c == 'u') {
            text += static_cast<char>(std::stoul(value.substr(i + 1, 4), nullptr, 16));  // the byte escapes only
            i += 4;
        } else {
            text += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'b' ? '\b' : c == 'f' ? '\f' : c;
        }
    }
    return text;
}


}  // namespace testbed
