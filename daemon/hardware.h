// The hardware thread: runs the commands posted in the slot on the reader
// link and, when the slot is idle, polls for a card.
#pragma once

#include "reader/reader_link.h" // READER_DEVICE, fd1

// Opens the reader's line and runs optHardware for ever.
void handle_event(void);
// One turn: run the posted command, or poll for a card and decide it. Returns 0.
int optHardware(void);
