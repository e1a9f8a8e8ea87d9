// Small helpers of the settings tests: files and a second SQLite connection.
#pragma once

#include <string>

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
// Names in dir that start with prefix.
int count_entries(const std::string &dir, const std::string &prefix);

// Runs SQL on a connection of the test's own: every value of the result
// joined with '|' (NULL as "<null>"), or "<error: SQLite's message>".
std::string sql_query(const std::string &db_path, const std::string &text);

// True when nobody holds rwlock (the sandboxed tests, which link the slot).
bool rwlock_free();
