// Reader settings database /etc/reader.db, table readerInfo, row id 1: the
// device address and the access service URL. One connection and one
// statement a call; rwlock around the URL statements.
//
// The URL is bound as a statement parameter, so any text is stored exactly as
// given. A missing row or a NULL column is a failure: the out-parameters are
// then left as the caller set them, and the callers fall back to their
// defaults. An update that finds no row 1 stores nothing and fails too. Every connection waits up
// to STORE_BUSY_TIMEOUT_MS for another connection's lock rather than failing busy at once.
#include "settings/readerdb.h"

#include <cstring>

#include "common/log.h"
#include "settings/sqlstore.h"

const char *const READER_DB_PATH = "/etc/reader.db";

namespace
{

const char *const SELECT_DEVADDR = "select devAddr from readerInfo where id=1";
const char *const UPDATE_DEVADDR = "update readerInfo set devAddr=?1 where id=1";
const char *const SELECT_URL = "select serverUrl from readerInfo where id=1";
const char *const UPDATE_URL = "update readerInfo set serverUrl=?1 where id=1";
const char *const SELECT_BOTH = "select devAddr, serverUrl from readerInfo where id=1";

// Runs one of the selects on row 1 and checks that it gave a row without
// NULLs. 0 with the values at table[cols..2*cols-1], or -1.
int select_row(const char *sql, store_lock lock, char ***table, int *cols)
{
    sqlite3 *db = store_open(READER_DB_PATH);
    if (!db)
        return -1;
    int rows = 0;
    *table = nullptr;
    int ret = store_select(db, sql, lock, table, &rows, cols);
    sqlite3_close(db);
    if (ret != 0)
        return -1;
    if (rows < 1) {
        sqlite3_free_table(*table);
        return -1;
    }
    for (int c = 0; c < *cols; c++) {
        if (!(*table)[*cols + c]) {
            sqlite3_free_table(*table);
            return -1;
        }
    }
    return 0;
}

int update_row(const char *sql, store_lock lock, const char *text, int num)
{
    sqlite3 *db = store_open(READER_DB_PATH);
    if (!db)
        return -1;
    int ret = store_run(db, sql, lock, text, num);
    if (ret == 0 && sqlite3_changes(db) == 0) {
        log_line(LOG_ERR, "%s: readerInfo has no row 1: nothing stored", READER_DB_PATH);
        ret = -1;
    }
    sqlite3_close(db);
    return ret;
}

} // namespace

int readDevAddr(int *devAddr)
{
    char **table;
    int cols;
    if (select_row(SELECT_DEVADDR, STORE_NO_LOCK, &table, &cols) != 0)
        return -1;
    *devAddr = store_text_to_int(table[cols]);
    sqlite3_free_table(table);
    return 0;
}

int writeDevAddr(int devAddr)
{
    return update_row(UPDATE_DEVADDR, STORE_NO_LOCK, nullptr, devAddr);
}

int readUrlConfig(char *url)
{
    char **table;
    int cols;
    if (select_row(SELECT_URL, STORE_SHARED, &table, &cols) != 0)
        return -1;
    copy_url(url, READER_URL_BUF, table[cols]);
    sqlite3_free_table(table);
    return 0;
}

int writeUrlConfig(char *url)
{
    if (!url || strnlen(url, READER_URL_MAX + 1) > READER_URL_MAX)
        return -1;
    return update_row(UPDATE_URL, STORE_EXCLUSIVE, url, 0);
}

int read_DevAddr_Url_Config(int *devAddr, char *url)
{
    char **table;
    int cols;
    if (select_row(SELECT_BOTH, STORE_SHARED, &table, &cols) != 0)
        return -1;
    *devAddr = store_text_to_int(table[cols]);
    copy_url(url, READER_URL_MAX + 1, table[cols + 1]);
    sqlite3_free_table(table);
    return 0;
}

void copy_url(char *out, size_t size, const char *text)
{
    size_t len = strnlen(text, size - 1);
    memcpy(out, text, len);
    out[len] = '\0';
}
