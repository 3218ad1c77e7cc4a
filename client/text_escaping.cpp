#include "client/text_escaping.h"

namespace atom {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::nullopt_t fail(std::string* why, const char* reason) {
    if (why != nullptr) *why = reason;
    return std::nullopt;
}

}  // namespace

std::string escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    escaped += "\\x";
                    escaped += hex_digits[byte >> 4];
                    escaped += hex_digits[byte & 0xf];
                } else {
                    escaped += c;
                }
        }
    }
    return escaped;
}

std::optional<std::string> unescape(std::string_view escaped, std::string* why) {
    std::string text;
    text.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            text += escaped[i];
            continue;
        }
        if (++i == escaped.size()) return fail(why, "a backslash ends the text");
        switch (escaped[i]) {
            case '\\':
                text += '\\';
                break;
            case 't':
                text += '\t';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            case 'x': {
                const int high = i + 1 < escaped.size() ? hex_value(escaped[i + 1]) : -1;
                const int low = i + 2 < escaped.size() ? hex_value(escaped[i + 2]) : -1;
                if (high < 0 || low < 0) return fail(why, "\\x is not followed by two hex digits");
                if (high == 0 && low == 0) return fail(why, "\\x00 stands for a zero byte");
                text += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return fail(why, "an unknown escape");
        }
    }
    return text;
}

}  // namespace atom
