// Wire protocol of the card reader module: frame layout, command bytes and
// the settings record. Every byte value of the protocol is named here once.
#pragma once

#include <cstddef>

// Frame: AA 00 00 <len> <cmd|status> <data...> <xor> BB
// <len> counts the command (or status) byte plus the data bytes; the check
// byte is the XOR of every byte from offset 1 up to the last data byte.
enum : unsigned char {
    FRAME_START = 0xAA,
    FRAME_END = 0xBB,
    FRAME_FIXED = 0x00,
};

enum {
    FRAME_OFF_START = 0,
    FRAME_OFF_FIXED1 = 1,
    FRAME_OFF_FIXED2 = 2,
    FRAME_OFF_LEN = 3,
    FRAME_OFF_CMD = 4, // command byte in a request, status byte in a reply
    FRAME_OFF_DATA = 5,
    FRAME_OVERHEAD = 7,   // start, two fixed, length, command, check, end
    FRAME_MAX_DATA = 249, // data bytes of one request
    FRAME_AREA = 256,     // request and reply work areas
    FRAME_MAX_LEN = 250,  // largest length byte whose check and end byte fit the area
};

// Reply status byte.
enum : unsigned char { READER_STATUS_OK = 0x00 };

// Command bytes. The shared command slot posts the same numbers.
enum : unsigned char {
    READER_CMD_SET_INFO = 0x90,
    READER_CMD_GET_INFO = 0x91,
    READER_CMD_BUZZER = 0x92,
    READER_CMD_RELAY = 0x93,
    READER_CMD_LIGHT = 0x94,
    READER_CMD_GET_UID = 0x95,
    READER_CMD_DEVICE = 0x97,
};

// Reader settings record, six bytes, as written with 0x90 and read with 0x91.
enum {
    READER_INFO_LEN = 6,
    READER_INFO_RELAY = 0,
    READER_INFO_LIGHT = 1,
    READER_INFO_BUZZER = 2,
    READER_INFO_FIXED0 = 3, // always 0x00
    READER_INFO_FIXED1 = 4, // always 0x01
    READER_INFO_STATUS = 5,
};

// Device control data of 0x97: light, buzzer, relay.
enum { DEVICE_DATA_LIGHT = 0, DEVICE_DATA_BUZZER = 1, DEVICE_DATA_RELAY = 2, DEVICE_DATA_LEN = 3 };

// Identifier reply of 0x95: data bytes 0..2 are not used; the identifier
// follows from data byte 3, four bytes in a 7-byte reply, seven in a 10-byte one.
enum { UID_DATA_OFFSET = 3, UID_SHORT_REPLY = 7, UID_LONG_REPLY = 10, UID_TEXT_MAX = 16 };

// Timing of the exchanges, in milliseconds (one byte takes about 1.04 ms at
// 9600 bit/s, 8N1). docs/reader-exchange.md tells why each has its value.
enum {
    READER_REPLY_WAIT_MS = 500, // for the first byte of a reply
    // Longest pause inside a frame. A reply is sent in one go; a scheduling
    // stall on a busy board or a UART that hands over its receive FIFO late
    // opens gaps of a few to a few tens of ms. 40 ms (about 38 character
    // times) rides those out, and a reply that really broke off still costs
    // less than one card interval.
    READER_GAP_MS = 40,
    // How long after the request (or after the frame before) a module's reply
    // may start: the longest request on the wire (13 bytes, 14 ms), the
    // module's turnaround (up to 20 ms) and 16 ms for scheduling. While an
    // earlier reply is owed, a frame that could answer either is the
    // request's own only when nothing follows it within this time.
    READER_CATCH_MS = 50,
    // An idle poll goes no sooner than this after the previous exchange
    // (about 39 polls a second at most with the module's replies).
    READER_SILENCE_MS = 10,
    // What an exchange may last beyond its reply wait: a frame under way
    // before the request (one gap), a reply begun before the wait ended
    // (17 bytes and one gap) and one catch window.
    READER_MARGIN_MS = 150,
};

// Bytes one exchange reads at most: four reply areas. A 9600 bit/s line
// carries about 620 bytes in the longest exchange, so only a line that sends
// faster than the module ever does reaches it.
enum { READER_READ_MAX = 4 * FRAME_AREA };
