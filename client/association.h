// Deciding an association, although the server says nothing when it accepts
// one: "A value text" is followed by "S text", and the replies, with further
// lookups over datagrams, show whether the pair is held or what is in force.
#pragma once

#include <cstdint>
#include <string_view>

#include "client/exchange.h"

namespace atom::detail {

// One attempt: accepted or refused (with the association in force), or a
// failure in transit, also when the association itself was lost.
attempt_result settle_association(transport& t, std::int32_t value, std::string_view text,
                                  deadline until);

}  // namespace atom::detail
