// Reader module operations, one exchange each, 500 ms reply wait.
// All return 0 on success and -1 on failure (after printing their message).
#pragma once

int setReaderInfo(unsigned char relay, unsigned char light, unsigned char buzzer,
                  unsigned char status);
// Stores data bytes 0, 1, 2 and 5 of the reply; targets untouched on failure.
int getReaderInfo(unsigned char *relay, unsigned char *light, unsigned char *buzzer,
                  unsigned char *status);
// action 0: nothing is sent, 0 returned.
int ctrReaderBuzzer(int action);
int ctrReaderRelay(int action);
int ctrReaderLight(int action);
int ctrReaderDevice(unsigned char light, unsigned char buzzer, unsigned char relay);
int ctrReaderDevLight(unsigned char light);
int ctrReaderDevBuzzer(unsigned char buzzer);
int ctrReaderDevRelay(unsigned char relay);
// Writes the card number text (8 or 14 upper-case hex digits and a line
// feed) into text (at least UID_TEXT_MAX bytes). -1: no card, text untouched.
int getReaderUid(char *text);
// The card number text of an identifier reply's len data bytes, as
// getReaderUid writes it. -1: no card, text untouched.
int uid_reply_text(char *text, const unsigned char *data, int len);
// Milliseconds to wait before the next idle poll (0: now), so that the
// reader module sees no more than one poll every READER_SILENCE_MS.
long readerPollWait(void);
