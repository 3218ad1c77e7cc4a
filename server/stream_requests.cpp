#include "server/stream_requests.h"

void handle_tcp_data(server_state& s, int d) { close_client(s, d); }
