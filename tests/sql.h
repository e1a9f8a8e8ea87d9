// SQL on a connection of the test's own: every value of the result joined
// with '|' (NULL as "<null>"), or "<error: SQLite's message>".
#pragma once

#include <string>

std::string sql_query(const std::string &db_path, const std::string &text);
