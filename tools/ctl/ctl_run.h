// Runs one TCP request and turns its reply into output and an exit status.
#pragma once

// How the reply of a command is shown.
struct reply_view {
    const char *command;    // the command name, for messages
    const char *data_label; // label of a string "Data" ("URL"), null for none
    const char *done;       // line printed for a plain {"response":1}, null for none
    const char *refused;    // what to try after {"response":0}
};

// Sends the request (releasing it), waits for the reply and prints it: a
// table, or with --json the controller's own text. When tree is not null the
// parsed reply is handed to the caller instead of printed (release with
// cJSON_Delete). Returns CTL_OK, CTL_REFUSED, CTL_USAGE or CTL_NOANSWER.
struct cJSON;
int run_request(char *request, const struct reply_view *view, struct cJSON **tree);
