#include "tools/ctl/ctl_run.h"
#include "tools/ctl/ctl.h"
#include "tools/ctl/ctl_print.h"
#include "tools/ctl/ctl_reply.h"
#include "tools/ctl/ctl_tcp.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>

static void print_table(const cJSON *root, const struct reply_view *view)
{
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(root, "Data");
    if (!view->command) {
        // raw: the whole reply
        print_members(stdout, root, nullptr);
        return;
    }
    if (cJSON_IsObject(data)) {
        print_members(stdout, data, nullptr);
    } else if (data) {
        char *v = value_text(data);
        const char *label = view->data_label ? view->data_label : "Data";
        print_row(stdout, label, 0, v);
        free(v);
    } else if (view->done) {
        printf("%s\n", view->done);
    }
}

int run_request(char *request, const struct reply_view *view, cJSON **tree)
{
    if (!request) {
        ctl_err("out of memory");
        return CTL_NOANSWER;
    }
    char *text = nullptr;
    size_t len = 0;
    int st = tcp_exchange(request, &text, &len);
    free(request);
    if (st != CTL_OK)
        return st;

    cJSON *root = nullptr;
    int response = 0;
    if (reply_parse(text, len, &root, &response) != 0) {
        ctl_err("the controller's reply is not understood (no number \"response\"):");
        print_text(stderr, text);
        fputc('\n', stderr);
        free(text);
        return CTL_NOANSWER;
    }
    if (g_ctl.json && !tree)
        printf("%s\n", text);
    free(text);
    if (response != 1) {
        if (view->command)
            ctl_err("the controller refused %s (\"response\": %d).\n%s", view->command, response,
                    view->refused ? view->refused : "");
        else
            ctl_err("the controller refused the request (\"response\": %d).", response);
        cJSON_Delete(root);
        return CTL_REFUSED;
    }
    if (tree) {
        *tree = root;
        return CTL_OK;
    }
    if (!g_ctl.json)
        print_table(root, view);
    cJSON_Delete(root);
    return CTL_OK;
}
