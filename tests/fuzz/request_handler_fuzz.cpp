// Fuzzes handle_request with sequences of arbitrary request texts against a
// plain model of the request language. The input's first byte chooses the
// trace flag; the rest is split at zero bytes into requests (a zero byte ends
// a request anyway, so nothing is lost). After every request the reply must be
// the one the model gives, at most 100 characters, and the table must hold
// exactly the model's associations, each reading back both ways.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "atoms/request_handler.h"
#include "tests/fuzz/request_model.h"

namespace {

void check_table(const atom_table& table, const model_table& model) {
    fuzz_check(table.size() == model.by_string.size(), "table size differs from the model");
    fuzz_check(model.by_string.size() == model.by_value.size(), "model is not one-to-one");
    for (const auto& [text, value] : model.by_string) {
        const auto found = table.string_to_atom(text);
        fuzz_check(found.has_value() && *found == value,
                   "an association does not read back by string");
        const _send_get_atom_msg* r = table.atom_to_string(value);
        fuzz_check(r != nullptr && r->value == value && text == r->string,
                   "an association does not read back by value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    atom_table table;
    table.verbose = (data[0] & 1) != 0;
    model_table model;
    std::size_t at = 1;
    while (at <= size) {
        const auto* zero = static_cast<const std::uint8_t*>(std::memchr(data + at, 0, size - at));
        const std::size_t end = zero == nullptr ? size : static_cast<std::size_t>(zero - data);
        // Exactly as long as the request, so that a read past its end is caught.
        const std::size_t length = end - at;
        auto request = std::make_unique<char[]>(length + 1);
        std::memcpy(request.get(), data + at, length);
        request[length] = '\0';
        auto reply = std::make_unique<char[]>(reply_buffer_size);
        reply[0] = '\0';

        handle_request(table, request.get(), reply.get());

        const std::size_t reply_length = ::strnlen(reply.get(), reply_buffer_size);
        fuzz_check(reply_length <= max_reply_length, "reply longer than 100 characters");
        const std::string expected = model.answer(std::string(request.get(), length));
        check_reply(std::string(reply.get(), reply_length), expected);
        check_table(table, model);
        at = end + 1;
    }
    return 0;
}
