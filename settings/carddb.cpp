// Card record queue /etc/card.db, table card (id, cardNum): appended at the
// end, read from the front (lowest id first), deleted by id. One connection
// and one statement a call, under rwlock; the card number is bound as a
// statement parameter.
#include "settings/carddb.h"

#include <cstdlib>
#include <cstring>

#include "settings/sqlstore.h"

const char *const CARD_DB_PATH = "/etc/card.db";

namespace
{

const char *const INSERT_CARD = "insert into card (cardNum) values(?1);";
const char *const SELECT_FIRST = "select id, cardNum from card order by id limit 1;";
const char *const DELETE_CARD = "delete from card where id=?1;";

int run_statement(const char *sql, const char *text, int num)
{
    sqlite3 *db = store_open(CARD_DB_PATH);
    if (!db)
        return -1;
    int ret = store_run(db, sql, STORE_EXCLUSIVE, text, num);
    sqlite3_close(db);
    return ret;
}

} // namespace

int writeCardRecord(char *cardNum)
{
    // The record read back holds CARD_NUM_LEN - 1 characters: refuse more.
    if (!cardNum || strnlen(cardNum, CARD_NUM_LEN) >= CARD_NUM_LEN)
        return -1;
    return run_statement(INSERT_CARD, cardNum, 0);
}

CardRecord *readCardRecord(void)
{
    sqlite3 *db = store_open(CARD_DB_PATH);
    if (!db)
        return nullptr;
    char **table = nullptr;
    int rows = 0, cols = 0;
    int ret = store_select(db, SELECT_FIRST, STORE_SHARED, &table, &rows, &cols);
    sqlite3_close(db);
    if (ret != 0)
        return nullptr;

    CardRecord *rec = nullptr;
    if (rows > 0 && (rec = static_cast<CardRecord *>(calloc(1, sizeof *rec)))) {
        const char *id = table[cols];
        const char *num = table[cols + 1];
        rec->id = id ? store_text_to_int(id) : 0;
        // A NULL number reads as empty, so the row can still be taken out.
        if (num)
            strncpy(rec->cardNum, num, CARD_NUM_LEN - 1);
    }
    sqlite3_free_table(table);
    return rec;
}

int deleteCardRecord(int id)
{
    return run_statement(DELETE_CARD, nullptr, id);
}
