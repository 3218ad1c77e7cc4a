// handle_request: reads one request text of the one-letter request language,
// consults or extends the atom table, and builds the reply text. Text in,
// text out: both transports hand their requests here and never look inside.
#pragma once

#include "atoms/atom_table.h"
#include "atoms/protocol.h"

// Answers one zero-terminated request. The caller passes a reply buffer of
// reply_buffer_size bytes whose first byte is zero; afterwards it holds the
// reply to send, or is still empty when nothing is to be sent.
void handle_request(atom_table& table, const char* request, char* reply);
