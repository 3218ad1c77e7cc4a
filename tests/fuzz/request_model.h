// What the fuzz targets share: their start-up, and what they check against,
// a plain model of the request language written from the README without the
// server's code, with the failure report. A failed check aborts, which libFuzzer records as a crash
// together with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "atoms/request_handler.h"

// Both targets exercise the traces without reading them.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

inline void fuzz_check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check_reply(const std::string& reply, const std::string& expected) {
    fuzz_check(reply.size() <= max_reply_length, "reply longer than 100 characters");
    if (reply == expected) return;
    std::fprintf(stderr, "reply \"%s\", expected \"%s\"\n", reply.c_str(), expected.c_str());
    fuzz_check(false, "reply differs from the model");
}

// The language as the README states it, written without the server's code.
struct model_table {
    std::map<std::string, std::int32_t> by_string;
    std::map<std::int32_t, std::string> by_value;

    // Formatted replies are cut to 99 characters.
    static std::string cut(std::string text) {
        if (text.size() > max_formatted_reply) text.resize(max_formatted_reply);
        return text;
    }
    // A decimal number with leading white space and an optional sign; its
    // low 32 bits. Returns the offset past it, or npos with no digits.
    static std::size_t number(const std::string& text, std::size_t from, std::int32_t& value) {
        const char* start = text.c_str() + from;
        char* end = nullptr;
        const long long n = std::strtoll(start, &end, 10);
        if (end == start) return std::string::npos;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
        return from + static_cast<std::size_t>(end - start);
    }

    std::string answer(const std::string& request) {
        if (request.empty()) return "";
        switch (request[0]) {
            case 'S': {
                auto it = by_string.find(request.substr(1));
                return "N" + std::to_string(it == by_string.end() ? -1 : it->second);
            }
            case 'N': {
                std::int32_t v = 0;
                if (number(request, 1, v) == std::string::npos) return "";
                auto it = by_value.find(v);
                // "S" and up to 99 bytes of the string: 100 characters at most.
                return "S" + (it == by_value.end() ? std::string()
                                                   : it->second.substr(0, max_reply_string));
            }
            case 'A': {
                std::int32_t v = 0;
                std::size_t end = number(request, 1, v);
                if (end == std::string::npos) {
                    v = 0;
                    end = 1;
                }
                if (end >= request.size()) return "";  // no separator: ignored
                const std::string text = request.substr(end + 1);
                if (auto it = by_string.find(text); it != by_string.end()) {
                    if (it->second == v) return "";
                    return cut("E" + std::to_string(it->second) + " " + text);
                }
                if (auto it = by_value.find(v); it != by_value.end()) {
                    return cut("E" + std::to_string(v) + " " + it->second);
                }
                by_string.emplace(text, v);
                by_value.emplace(v, text);
                return "";
            }
            case 'P':
                return "R";
            default:
                return "";
        }
    }
};
