// The card number as the reader line gives it, with its line end.
#pragma once

#include <cstring>

// The length of the card number text without its line end ("\n" or "\r\n").
inline size_t card_text_len(const char *card)
{
    return strcspn(card, "\r\n");
}
