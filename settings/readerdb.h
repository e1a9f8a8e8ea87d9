// Reader settings database /etc/reader.db, table readerInfo, row id 1:
// the device address and the access service URL.
#pragma once

enum { READER_URL_MAX = 255 }; // longest URL the access gate client can use

// Where the store lives.
extern const char *const READER_DB_PATH;

// All return 0 on success and -1 on failure (SQLite's message printed);
// out-parameters are written only on success.
int readDevAddr(int *devAddr);
int writeDevAddr(int devAddr);
int readUrlConfig(char *url);  // url holds 1024 bytes
int writeUrlConfig(char *url); // refuses a URL longer than READER_URL_MAX
int read_DevAddr_Url_Config(int *devAddr, char *url); // url holds 256 bytes
