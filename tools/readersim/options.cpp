#include "tools/readersim/options.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "tools/common/parse_number.h"

namespace
{

const char PROG[] = "gatewarden-readersim";

enum {
    MAX_BAUD = 4000000,
    MAX_INTERVAL_MS = 86400000,
    MAX_FAULT_MS = 600000,
    MAX_FAULT_COUNT = 1000000000,
    MAX_NOISE_BYTES = 16,
    MAX_SHORT_BYTES = 248,
    MAX_TURNAROUND_MS = 1000,
    DEFAULT_TURNAROUND_MS = 3, // a module that has just talked to a card over the air
    DEFAULT_JITTER_MS = 2,
};

const char USAGE[] =
    "Usage: gatewarden-readersim [OPTION]...\n"
    "Acts as the card reader module on a new pseudo-terminal and prints\n"
    "\"ready pty=PATH\" once the controller can open PATH.\n"
    "\n"
    "  --link PATH     make PATH a symlink to the pseudo-terminal (removed on exit)\n"
    "  --baud N        pace the bytes sent at N bit/s, 8N1 (default 9600; 0: no pacing);\n"
    "                  where permitted, pacing runs at real-time priority\n"
    "  --card HEX      present a card (8 or 14 hex digits, as the controller prints\n"
    "                  it); may be repeated: the cards come in turn\n"
    "  --interval MS   time between presentations (default 1000)\n"
    "  --repeat        present the cards again and again\n"
    "  --hold          a card answers every poll until removed (default: one read)\n"
    "  --fault FAULT   inject a fault (may be repeated, see below)\n"
    "  --quiet-polls   do not log polls answered with \"no card\"\n"
    "  --turnaround MS a reply starts MS after its request is in (default 3)\n"
    "  --jitter MS     ... and up to MS more, at random (default 2)\n"
    "  --random-faults PERCENT\n"
    "                  give PERCENT of the requests a fault of a random kind, any\n"
    "                  of: silence, late 100-900 ms, split 5-104 ms, badcrc, noend,\n"
    "                  garbage, status, short, noise 1-3 bytes\n"
    "  --seed N        seed of all random choices (turnaround jitter, random faults,\n"
    "                  garbage and noise bytes)\n"
    "  --help          show this text\n"
    "\n"
    "FAULT: KIND[=ARG][,cmd=HH][,count=N]; applies to the next N requests\n"
    "(default 1), or to the next N requests with command byte HH.\n"
    "  silence        no reply\n"
    "  late=MS        the reply starts MS late\n"
    "  split=MS       a pause of MS in the middle of the reply\n"
    "  badcrc         wrong check byte\n"
    "  noend          no end byte\n"
    "  garbage        random bytes instead of a reply\n"
    "  status=EE      failure status with error code EE (hex)\n"
    "  short[=N]      success with too few data bytes (N; default one less); on a\n"
    "                 card poll always an identifier reply, card or not\n"
    "  noise[=N]      N bytes of the reply changed at random (default 1)\n"
    "A card poll that is answered with its identifier (also late, split or\n"
    "corrupted) uses up a one-read presentation; silence, garbage and status do not.\n"
    "\n"
    "Standard input, one command a line: card HEX | remove | fault FAULT |\n"
    "turnaround MS | quit\n"
    "Output lines: ready, then \"t=SECONDS rx HH NAME [data=HEX]\", \"t=... tx ...\",\n"
    "\"t=... out light=L buzzer=B relay=R\", \"t=... card HEX presented\",\n"
    "\"t=... card removed\", \"t=... fault armed FAULT\".\n";

// One or two hex digits.
bool hex_byte(const char *s, int *out)
{
    size_t n = strlen(s);
    if (n < 1 || n > 2)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!isxdigit(static_cast<unsigned char>(s[i])))
            return false;
    *out = static_cast<int>(strtol(s, nullptr, 16));
    return true;
}

struct kind_name {
    const char *name;
    fault_kind kind;
    char arg; // 'n' none, 'r' required, 'o' optional
};

const kind_name KINDS[] = {
    {"silence", FAULT_SILENCE, 'n'}, {"late", FAULT_LATE, 'r'},   {"split", FAULT_SPLIT, 'r'},
    {"badcrc", FAULT_BADCRC, 'n'},   {"noend", FAULT_NOEND, 'n'}, {"garbage", FAULT_GARBAGE, 'n'},
    {"status", FAULT_STATUS, 'r'},   {"short", FAULT_SHORT, 'o'}, {"noise", FAULT_NOISE, 'o'},
};

const kind_name *find_kind(const char *name)
{
    for (const kind_name &k : KINDS)
        if (strcmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

__attribute__((format(printf, 3, 4))) int fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

bool fault_arg(const kind_name *k, const char *arg, sim_fault *f)
{
    long v;
    switch (k->kind) {
    case FAULT_LATE:
    case FAULT_SPLIT:
        if (parse_long(arg, 0, MAX_FAULT_MS, &v) != 0)
            return false;
        f->arg = static_cast<int>(v);
        return true;
    case FAULT_STATUS:
        return hex_byte(arg, &f->arg);
    case FAULT_SHORT:
        if (parse_long(arg, 0, MAX_SHORT_BYTES, &v) != 0)
            return false;
        f->arg = static_cast<int>(v);
        return true;
    case FAULT_NOISE:
        if (parse_long(arg, 1, MAX_NOISE_BYTES, &v) != 0)
            return false;
        f->arg = static_cast<int>(v);
        return true;
    default:
        return false;
    }
}

__attribute__((format(printf, 1, 2))) int usage_error(const char *fmt, ...)
{
    fprintf(stderr, "%s: ", PROG);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\nTry '%s --help'.\n", PROG);
    return OPTIONS_BAD;
}

} // namespace

int parse_card(const char *text, sim_card *card, char *err, size_t errlen)
{
    size_t n = strlen(text);
    if (n != 8 && n != 14)
        return fail(err, errlen, "card '%s' must have 8 or 14 hex digits", text);
    for (size_t i = 0; i < n; i++)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return fail(err, errlen, "card '%s' is not hexadecimal", text);
    card->len = static_cast<int>(n / 2);
    for (int i = 0; i < card->len; i++) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        // The text starts with the identifier's last byte on the wire.
        card->id[card->len - 1 - i] = static_cast<unsigned char>(strtol(pair, nullptr, 16));
    }
    for (size_t i = 0; i <= n; i++)
        card->text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
    return 0;
}

int parse_fault(const char *notation, sim_fault *f, char *err, size_t errlen)
{
    char buf[128];
    if (strlen(notation) >= sizeof buf)
        return fail(err, errlen, "fault '%.40s...' is too long", notation);
    strcpy(buf, notation);
    f->arg = -1;
    f->cmd = FAULT_ANY_CMD;
    f->count = 1;

    char *save = nullptr;
    char *tok = strtok_r(buf, ",", &save);
    if (!tok)
        return fail(err, errlen, "empty fault '%s'", notation);
    char *arg = strchr(tok, '=');
    if (arg)
        *arg++ = '\0';
    const kind_name *k = find_kind(tok);
    if (!k)
        return fail(err, errlen,
                    "unknown fault '%s' (silence, late, split, badcrc, noend, garbage, "
                    "status, short, noise)",
                    tok);
    f->kind = k->kind;
    if (k->kind == FAULT_NOISE)
        f->arg = 1;
    if (arg && k->arg == 'n')
        return fail(err, errlen, "fault '%s' takes no value", k->name);
    if (!arg && k->arg == 'r')
        return fail(err, errlen, "fault '%s' needs a value (%s=...)", k->name, k->name);
    if (arg && !fault_arg(k, arg, f))
        return fail(err, errlen, "bad value in fault '%s'", notation);

    while ((tok = strtok_r(nullptr, ",", &save))) {
        long v;
        if (strncmp(tok, "cmd=", 4) == 0) {
            if (!hex_byte(tok + 4, &f->cmd))
                return fail(err, errlen, "bad cmd in fault '%s' (cmd=HH, hex)", notation);
        } else if (strncmp(tok, "count=", 6) == 0) {
            if (parse_long(tok + 6, 1, MAX_FAULT_COUNT, &v) != 0)
                return fail(err, errlen, "bad count in fault '%s' (count=N, N >= 1)", notation);
            f->count = static_cast<int>(v);
        } else {
            return fail(err, errlen, "unknown fault option '%s' (cmd=HH, count=N)", tok);
        }
    }
    return 0;
}

void fault_text(const sim_fault *f, char *out, size_t outlen)
{
    const char *name = "?";
    for (const kind_name &k : KINDS)
        if (k.kind == f->kind)
            name = k.name;
    int n;
    if (f->kind == FAULT_STATUS)
        n = snprintf(out, outlen, "%s=%02X", name, f->arg);
    else if (f->arg >= 0)
        n = snprintf(out, outlen, "%s=%d", name, f->arg);
    else
        n = snprintf(out, outlen, "%s", name);
    if (n > 0 && static_cast<size_t>(n) < outlen && f->cmd != FAULT_ANY_CMD)
        n += snprintf(out + n, outlen - static_cast<size_t>(n), ",cmd=%02X", f->cmd);
    if (n > 0 && static_cast<size_t>(n) < outlen && f->count != 1)
        snprintf(out + n, outlen - static_cast<size_t>(n), ",count=%d", f->count);
}

int parse_options(int argc, char **argv, sim_options *o)
{
    enum {
        O_LINK = 256,
        O_BAUD,
        O_CARD,
        O_INTERVAL,
        O_REPEAT,
        O_HOLD,
        O_FAULT,
        O_QUIET,
        O_SEED,
        O_TURNAROUND,
        O_JITTER,
        O_RANDOM_FAULTS,
        O_HELP
    };
    static const option longopts[] = {
        {"link", required_argument, nullptr, O_LINK},
        {"baud", required_argument, nullptr, O_BAUD},
        {"card", required_argument, nullptr, O_CARD},
        {"interval", required_argument, nullptr, O_INTERVAL},
        {"repeat", no_argument, nullptr, O_REPEAT},
        {"hold", no_argument, nullptr, O_HOLD},
        {"fault", required_argument, nullptr, O_FAULT},
        {"quiet-polls", no_argument, nullptr, O_QUIET},
        {"seed", required_argument, nullptr, O_SEED},
        {"turnaround", required_argument, nullptr, O_TURNAROUND},
        {"jitter", required_argument, nullptr, O_JITTER},
        {"random-faults", required_argument, nullptr, O_RANDOM_FAULTS},
        {"help", no_argument, nullptr, O_HELP},
        {nullptr, 0, nullptr, 0},
    };

    memset(o, 0, sizeof *o);
    o->baud = 9600;
    o->interval_ms = 1000;
    o->turnaround_ms = DEFAULT_TURNAROUND_MS;
    o->jitter_ms = DEFAULT_JITTER_MS;
    char err[160];
    opterr = 0;
    optind = 1;
    for (;;) {
        int c = getopt_long(argc, argv, ":", longopts, nullptr);
        if (c == -1)
            break;
        long v;
        switch (c) {
        case O_LINK:
            if (!*optarg)
                return usage_error("--link needs a path");
            o->link = optarg;
            break;
        case O_BAUD:
            if (parse_long(optarg, 0, MAX_BAUD, &v) != 0)
                return usage_error("--baud: '%s' is not a rate in bit/s (0 to 4000000)", optarg);
            o->baud = v;
            break;
        case O_CARD:
            if (o->ncards == SIM_MAX_CARDS)
                return usage_error("at most %d cards", SIM_MAX_CARDS);
            if (parse_card(optarg, &o->cards[o->ncards], err, sizeof err) != 0)
                return usage_error("--card: %s", err);
            o->ncards++;
            break;
        case O_INTERVAL:
            if (parse_long(optarg, 1, MAX_INTERVAL_MS, &v) != 0)
                return usage_error("--interval: '%s' is not a time in ms (1 to 86400000)", optarg);
            o->interval_ms = v;
            break;
        case O_REPEAT:
            o->repeat = true;
            break;
        case O_HOLD:
            o->hold = true;
            break;
        case O_FAULT:
            if (o->nfaults == SIM_MAX_FAULTS)
                return usage_error("at most %d faults", SIM_MAX_FAULTS);
            if (parse_fault(optarg, &o->faults[o->nfaults], err, sizeof err) != 0)
                return usage_error("--fault: %s", err);
            o->nfaults++;
            break;
        case O_QUIET:
            o->quiet_polls = true;
            break;
        case O_SEED:
            if (parse_long(optarg, 0, 2147483647L, &v) != 0)
                return usage_error("--seed: '%s' is not a number", optarg);
            o->seed = static_cast<unsigned long>(v);
            o->seeded = true;
            break;
        case O_TURNAROUND:
        case O_JITTER:
            if (parse_long(optarg, 0, MAX_TURNAROUND_MS, &v) != 0)
                return usage_error("--%s: '%s' is not a time in ms (0 to 1000)",
                                   c == O_JITTER ? "jitter" : "turnaround", optarg);
            (c == O_JITTER ? o->jitter_ms : o->turnaround_ms) = static_cast<int>(v);
            break;
        case O_RANDOM_FAULTS:
            if (parse_long(optarg, 0, 100, &v) != 0)
                return usage_error("--random-faults: '%s' is not a percentage", optarg);
            o->fault_percent = static_cast<int>(v);
            break;
        case O_HELP:
            fputs(USAGE, stdout);
            return OPTIONS_HELP;
        case ':':
            return usage_error("option '%s' needs a value", argv[optind - 1]);
        default:
            return usage_error("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument '%s'", argv[optind]);
    return OPTIONS_RUN;
}
