// Access gate client: asks the access service whether a card may pass and
// posts the reader output that follows the answer.
#pragma once

// cardNum: the card number text, line feed included. Returns 0 when the
// service answered (granted or not; code 151 is then posted), -1 when no
// answer could be had: nothing posted, unless offline grace posted the
// output remembered for the card.
int accessGate(char *cardNum);
