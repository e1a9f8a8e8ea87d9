// One accessGate call in a process of its own: access-gate-once CARD.
// Exits 0 when the service answered, 1 when not.
#include "access/accessGateClient.h"
#include "core/slot.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    slot_init();
    return accessGate(argv[1]) == 0 ? 0 : 1;
}
