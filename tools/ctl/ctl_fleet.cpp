// One command on several controllers: the host list, and the child
// processes that run the command on each host in parallel.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tools/ctl/ctl.h"

int ctl_add_host(const char *host)
{
    const char **h = (const char **)realloc(g_ctl.hosts, (size_t)(g_ctl.nhosts + 1) * sizeof *h);
    char *copy = strdup(host);
    if (!h || !copy) {
        free(copy);
        ctl_err("out of memory");
        return -1;
    }
    g_ctl.hosts = h;
    h[g_ctl.nhosts++] = copy;
    return 0;
}

int ctl_read_hosts(const char *file)
{
    FILE *f = fopen(file, "re");
    if (!f) {
        ctl_usage_error("--hosts %s: %s", file, strerror(errno));
        return -1;
    }
    char line[512];
    int n = 0, rc = 0;
    while (rc == 0 && fgets(line, sizeof line, f)) {
        n++;
        line[strcspn(line, "#\r\n")] = '\0';
        char *p = line + strspn(line, " \t");
        size_t len = strcspn(p, " \t");
        bool more = p[len + strspn(p + len, " \t")] != '\0';
        p[len] = '\0';
        if (more || (len > 0 && ctl_check_host(p) != 0)) {
            ctl_usage_error("--hosts %s line %d: one host name or IPv4 address a line", file, n);
            rc = -1;
        } else if (len > 0) {
            rc = ctl_add_host(p);
        }
    }
    fclose(f);
    return rc;
}

namespace
{

struct run {
    const char *host;
    pid_t pid;
    int fd[2]; // standard output and error of the child, -1 once at their end
    std::string text[2];
};

// Starts the command for r->host: 1 in the child (which goes on), 0 in the
// parent, -1 when it cannot be started.
int start(run *r)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]), close(out[1]);
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    r->pid = fork();
    if (r->pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        g_ctl.host = r->host;
        return 1;
    }
    close(out[1]), close(err[1]);
    r->fd[0] = out[0], r->fd[1] = err[0];
    if (r->pid < 0) {
        close(out[0]), close(err[0]);
        return -1;
    }
    return 0;
}

// The lines of text, each prefixed by host.
void print_prefixed(FILE *to, const char *host, const std::string &text)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        fprintf(to, "%s: %.*s\n", host, (int)(end - at), text.c_str() + at);
        at = end + 1;
    }
}

// Prints the result of a finished run.
void report(const run *r, int status)
{
    if (!g_ctl.json) {
        print_prefixed(stdout, r->host, r->text[0]);
        print_prefixed(stderr, r->host, r->text[1]);
        fflush(stdout);
        fflush(stderr);
        return;
    }
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "host", r->host);
    cJSON_AddNumberToObject(o, "status", status);
    cJSON *result = cJSON_Parse(r->text[0].c_str());
    cJSON_AddItemToObject(o, "result", result ? result : cJSON_CreateNull());
    cJSON *err = cJSON_Parse(r->text[1].c_str());
    const cJSON *msg = cJSON_GetObjectItemCaseSensitive(err, "error");
    if (cJSON_IsString(msg))
        cJSON_AddStringToObject(o, "error", msg->valuestring);
    cJSON_Delete(err);
    char *text = cJSON_PrintUnformatted(o);
    if (text)
        printf("%s\n", text);
    fflush(stdout);
    free(text);
    cJSON_Delete(o);
}

// Waits for the child of r to end: its exit status, CTL_NOANSWER when it
// did not exit normally.
int reap(run *r)
{
    int ws = 0;
    while (waitpid(r->pid, &ws, 0) < 0 && errno == EINTR)
        ;
    r->pid = -1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : CTL_NOANSWER;
}

// Closes the pipes of the n runs and reaps their children: a child that
// still writes gets EPIPE and ends.
void reap_all(run *runs, size_t n)
{
    for (size_t k = 0; k < n; k++) {
        for (int s = 0; s < 2; s++)
            if (runs[k].fd[s] >= 0) {
                close(runs[k].fd[s]);
                runs[k].fd[s] = -1;
            }
        if (runs[k].pid > 0)
            reap(&runs[k]);
    }
}

} // namespace

int ctl_fleet_run(int *status)
{
    if (g_ctl.all && ctl_search_hosts(g_ctl.all) != CTL_OK) {
        *status = CTL_NOANSWER;
        return -1;
    }
    std::vector<run> runs((size_t)g_ctl.nhosts);
    size_t next = 0, running = 0;
    int worst = CTL_OK;
    for (;;) {
        while (next < runs.size() && running < CTL_FLEET_PARALLEL) {
            run *r = &runs[next++];
            r->host = g_ctl.hosts[next - 1];
            int s = start(r);
            if (s == 1)
                return 0;
            if (s < 0) {
                ctl_err("%s: cannot start: %s", r->host, strerror(errno));
                worst = CTL_NOANSWER;
                r->fd[0] = r->fd[1] = -1;
                r->pid = -1;
                continue;
            }
            running++;
        }
        if (running == 0)
            break;
        std::vector<pollfd> p;
        std::vector<std::pair<run *, int>> who;
        for (size_t k = 0; k < next; k++)
            for (int s = 0; s < 2; s++)
                if (runs[k].fd[s] >= 0) {
                    p.push_back({runs[k].fd[s], POLLIN, 0});
                    who.push_back({&runs[k], s});
                }
        if (poll(p.data(), p.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            // Cannot wait for them: no result counts, the children are reaped.
            ctl_err("cannot wait for the hosts' results: %s", strerror(errno));
            worst = CTL_NOANSWER;
            reap_all(runs.data(), next);
            break;
        }
        for (size_t k = 0; k < p.size(); k++) {
            if (!p[k].revents)
                continue;
            run *r = who[k].first;
            int s = who[k].second;
            char buf[4096];
            ssize_t n = read(r->fd[s], buf, sizeof buf);
            if (n > 0) {
                r->text[s].append(buf, (size_t)n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            close(r->fd[s]);
            r->fd[s] = -1;
            if (r->fd[0] >= 0 || r->fd[1] >= 0)
                continue;
            int st = reap(r);
            worst = st > worst ? st : worst;
            report(r, st);
            running--;
        }
    }
    *status = worst;
    return -1;
}
