// Card record queue /etc/card.db, table card (id, cardNum).
#pragma once

enum { CARD_NUM_LEN = 32 };

// Where the store lives.
extern const char *const CARD_DB_PATH;

struct CardRecord {
    int id;
    char cardNum[CARD_NUM_LEN];
};

// Appends a card number (at most 31 characters). 0, or -1 on failure.
int writeCardRecord(char *cardNum);
// The first stored record, on the heap (free it), or null when empty or failed.
CardRecord *readCardRecord(void);
// Deletes the record with this id (0 also when there is none), -1 on failure.
int deleteCardRecord(int id);
