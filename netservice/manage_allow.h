// Restricted management: while PROTECT_MANAGE_FILE exists, only the IPv4
// addresses and prefixes it lists may manage the controller (every TCP
// connection, and a network set-up over UDP); a search is answered anyway.
// The file is read at every use. One entry a line, "192.0.2.7" or
// "192.0.2.0/24"; "#" starts a comment; blank lines are ignored. A file
// that cannot be read or holds anything else denies every address.
#pragma once

#include <cstddef>
#include <netinet/in.h>

// Whether text, the size bytes of a whole file, admits peer (network byte
// order): 1 yes, 0 no, -1 malformed, with the number of the first bad line
// in *bad_line. The number of entries goes to *entries.
int manage_allow_match(const char *text, size_t size, in_addr_t peer, int *entries, int *bad_line);

// True when peer may manage: always without PROTECT_MANAGE_FILE, else when
// the file admits it. A null peer (a request from no socket) counts only
// without the file. A malformed file is reported once, until it is mended.
bool manage_allowed(const in_addr *peer);

// Prints the start-up line that says which protections are on.
void print_protection_state(void);
