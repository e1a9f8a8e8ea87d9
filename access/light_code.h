// The light that answers an access decision: the colour code of the
// service's Color text turned into the reader's light code.
#pragma once

// Characters 6 to 8 of color (zero-based) form the colour code; an exact match
// of "000", "001", "010", "100", "101" or "111" gives 0 to 5. Anything else
// (another code, a text shorter than nine characters, a null color) gives 0.
unsigned char access_light_code(const char *color);
