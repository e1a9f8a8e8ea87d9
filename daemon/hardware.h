// The hardware thread: the serial line and the loop that serves the slot.
#pragma once

// The reader's serial device.
extern const char READER_DEVICE[];

// Opens /dev/ttymxc2 at 9600 8N1 and runs optHardware for ever.
void handle_event(void);
// One turn: run the posted command, or poll for a card and decide it. Returns 0.
int optHardware(void);
