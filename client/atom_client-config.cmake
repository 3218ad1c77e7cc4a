# The atom_client package: the client library of atom_server, as the
# target atom::atom_client.
include("${CMAKE_CURRENT_LIST_DIR}/atom_client-targets.cmake")
