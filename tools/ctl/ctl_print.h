// Output for people: aligned two-column tables and safe text.
#pragma once

#include <cjson/cJSON.h>
#include <stdio.h>

// One "name  value" row per member of obj (nested values in compact JSON),
// names padded to the widest. prefix, when not null, goes before each name.
void print_members(FILE *out, const cJSON *obj, const char *prefix);
// One "label  value" row.
void print_row(FILE *out, const char *label, int width, const char *value);
// Writes text with control bytes shown as \xHH, so a reply cannot drive the terminal.
void print_text(FILE *out, const char *text);
// The text of a scalar JSON value (strings unquoted) or compact JSON; malloc'd.
char *value_text(const cJSON *v);
