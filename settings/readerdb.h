// Reader settings database /etc/reader.db, table readerInfo, row id 1:
// the device address and the access service URL.
#pragma once

#include <stddef.h>

enum {
    READER_URL_MAX = 255,  // longest URL the access gate client can use
    READER_URL_BUF = 1024, // the URL buffer of readUrlConfig's callers
};

// Where the store lives.
extern const char *const READER_DB_PATH;

// All return 0 on success and -1 on failure (SQLite's message printed);
// out-parameters are written only on success.
int readDevAddr(int *devAddr);
int writeDevAddr(int devAddr);
int readUrlConfig(char *url);                         // url holds READER_URL_BUF bytes
int writeUrlConfig(char *url);                        // refuses a URL longer than READER_URL_MAX
int read_DevAddr_Url_Config(int *devAddr, char *url); // url holds READER_URL_MAX + 1 bytes

// Copies text into out, a buffer of size bytes, cut to size - 1 characters.
void copy_url(char *out, size_t size, const char *text);
