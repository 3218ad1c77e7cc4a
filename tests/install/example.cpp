// A program of a user's own, built against an installed atom_client: it
// must compile, link and run. It talks to no server.
#include <client/atom_client.h>
#include <client/text_escaping.h>

#include <cstdio>
#include <string>
#include <utility>

// A name the library once exported into the global namespace.
bool same_string(const std::string& a, const std::string& b) { return a == b; }

int main() {
    atom::client_options options;
    options.transport = atom::transport_kind::tcp;
    atom::atom_client client(options);
    atom::atom_client moved(std::move(client));
    const std::string back = *atom::unescape(atom::escape("tab\there"));
    std::printf("atom_client %s %s %d %s\n", ATOM_CLIENT_VERSION,
                atom::status_name(atom::atom_status::found), same_string(back, "tab\there") ? 1 : 0,
                moved.options().transport == atom::transport_kind::tcp ? "tcp" : "udp");
    return 0;
}
