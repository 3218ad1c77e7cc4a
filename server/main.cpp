// atom_server: serves one in-memory table of atoms over UDP port 4444 and
// TCP port 4445.
#include "server/start_up.h"

int main(int argc, char** argv) { return start_server(argc, argv); }
