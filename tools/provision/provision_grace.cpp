#include "tools/provision/provision_grace.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "settings/offline_config.h"

int grace_option_take(int *argc, char **argv, std::string *text)
{
    const char *const OPT = "--offline-grace";
    int taken = 0, out = 1;
    for (int i = 1; i < *argc; i++) {
        if (strcmp(argv[i], OPT) != 0) {
            argv[out++] = argv[i];
            continue;
        }
        const char *val = i + 1 < *argc ? argv[++i] : nullptr;
        long s;
        if (!val || (strcmp(val, "off") != 0 && offline_period_parse(val, &s) != 0)) {
            fprintf(stderr,
                    "gatewarden-provision: %s needs off or a period from 1m to %dh ('%s')\n", OPT,
                    OFFLINE_GRACE_MAX_S / 3600, val ? val : "");
            return 2;
        }
        *text = strcmp(val, "off") == 0 ? ""
                                        : std::string("# offline grace period: cards the access "
                                                      "service granted within it open while it "
                                                      "gives no decision\n") +
                                              val + "\n";
        taken = 1;
    }
    argv[out] = nullptr;
    *argc = out;
    return taken;
}

int grace_remove(const std::string &root)
{
    std::string path = root + OFFLINE_GRACE_FILE;
    if (unlink(path.c_str()) == 0) {
        printf("removed %s\n", path.c_str());
        return 0;
    }
    if (errno == ENOENT)
        return 0;
    fprintf(stderr, "gatewarden-provision: %s: %s\n", path.c_str(), strerror(errno));
    return 1;
}

void grace_usage(FILE *out)
{
    fprintf(out,
            "--offline-grace PERIOD installs DIR" OFFLINE_GRACE_FILE ":\n"
            "while the access service gives no decision, cards it granted within PERIOD\n"
            "(1m to %dh, e.g. 8h or 45m) still open; --offline-grace off removes it.\n"
            "The daemon reads it when it starts.\n",
            OFFLINE_GRACE_MAX_S / 3600);
}
